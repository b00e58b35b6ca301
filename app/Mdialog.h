#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/PollCycle.h"
#include "lib/CrossLib_OCX.h"
#include "platform/Clock.h"
#include "platform/Sockets.h"
#include "ui/Toolkit.h"

namespace jointcast {

using ui::TObject;

constexpr std::uint16_t kDatagramPort = 4849;
inline constexpr const char16_t* kClientName = u"ZelkJointcastV3";
inline constexpr const char16_t* kAxisVariable = u"$AXIS_ACT";
// Shown when the status message has been up for its 5 s. It names the program and where its
// datagrams go, which stays true whatever the controller link is doing.
inline constexpr const char* kRestingNotice = "Jointcast V3 - UDP 4849";

// Creates the controller control; throws when it cannot be created.
using CrossFactory = std::function<std::unique_ptr<crosslib::TCross>()>;

// What the window needs from the platform around it.
struct DialogEnvironment {
  ui::TToolkit& toolkit;
  platform::Clock& clock;
  platform::Sockets& sockets;
  CrossFactory createCross;
};

// The main window: its components, its fields and all its handlers. Fields are public in the
// style of a form class, so that tests can look at them as the handlers leave them.
class TFMDialog {
 public:
  explicit TFMDialog(DialogEnvironment environment);
  ~TFMDialog();
  TFMDialog(const TFMDialog&) = delete;
  TFMDialog& operator=(const TFMDialog&) = delete;

  // Components, in creation order.
  std::unique_ptr<ui::TForm> Form;
  std::unique_ptr<ui::TLabel> LA0, Label1, LA1, Label3, LA2, Label5, Label6, LA3, Label8, LA4,
      Label10, LA5, LMessage;
  std::unique_ptr<ui::TPanel> PCross, PArm;
  std::unique_ptr<ui::TEdit> EAddress;
  std::unique_ptr<ui::TButton> BSet;
  std::unique_ptr<crosslib::TCross> Cross;  // null after FatalError
  std::unique_ptr<ui::TTimer> TMessage;

  // Fields.
  char SendBuffer[128] = {};
  std::int32_t Timeout = 3000;
  crosslib::JobNumber JobNumber = 0;
  bool JobDone = false;
  std::u16string ValueText;
  bool AddressValid = false;
  platform::SocketHandle Sock = platform::kNoSocket;
  platform::SocketAddressV4 Destination;
  std::array<ui::TLabel*, 6> AxisLabels{};
  // The pause from one read to the next, 200 ms unless the command line's --period says
  // otherwise; 0 reads again as soon as the last reading is published.
  std::uint32_t ReadPeriod = kReadInterval;

  // Window events.
  void FormShow(TObject* Sender);
  void FormHide(TObject* Sender);
  void TMessageTimer(TObject* Sender);
  void SetMessage(const std::string& text, bool isError);
  void FatalError(const std::string& text);

  // Polling cycle.
  void AppIdle(TObject* Sender, bool& Done);
  void CrossCmdMessage(TObject* Sender, crosslib::JobNumber nJob, std::int32_t lError);

  // Destination address.
  void BSetClick(TObject* Sender);
  void EAddressKeyDown(TObject* Sender, std::uint16_t Key, ui::ShiftState Shift);

  // Publish step: decode ValueText, show the angles, send the position datagram.
  void Publish();

  ui::TComponent* FindComponent(const std::string& name) const;
  bool EndedByFatalError() const { return endedByFatalError_; }

 private:
  void CreateComponents();
  // Lets the loop wait until the cycle's elapsed time reaches the deadline, or a message comes.
  void WaitUntilElapsed(std::int64_t elapsed, std::int64_t deadline);

  bool endedByFatalError_ = false;

  ui::TToolkit& toolkit_;
  ui::TApplication& application_;
  platform::Clock& clock_;
  platform::Sockets& sockets_;
};

}  // namespace jointcast
