#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The controller's cross-communication control as the program uses it. Requests are
// asynchronous: KRCOk and ShowVar return a job number at once, the control later fires
// OnCmdMessage with that number from the GUI thread's message loop, and the matching ...Result
// call then yields the outcome. A call the control cannot carry out yields job 0 or false.
namespace crosslib {

using JobNumber = std::int16_t;

// Identity of the ActiveX control.
inline constexpr const char16_t* kClassId = u"{2CF18AA3-25B1-11CF-918D-0020AF3C12CE}";
inline constexpr const char16_t* kDispatchInterfaceId = u"{2CF18AA4-25B1-11CF-918D-0020AF3C12CE}";
inline constexpr const char16_t* kEventInterfaceId = u"{2CF18AA5-25B1-11CF-918D-0020AF3C12CE}";

enum DispId : std::int32_t {
  kDispShowVar = 16,
  kDispShowVarResult = 17,
  kDispInit = 117,
  kDispExit = 118,
  kDispKRCOk = 139,
  kDispKRCOkResult = 140,
  kDispEventCmdMessage = 1,
  kDispEventBOFKey = 2,
};

class TCross {
 public:
  virtual ~TCross() = default;
  TCross() = default;
  TCross(const TCross&) = delete;
  TCross& operator=(const TCross&) = delete;

  // Registers the client; synchronous.
  virtual bool Init(const std::u16string& clientName, const std::u16string& second,
                    std::int32_t flags) = 0;
  virtual JobNumber KRCOk() = 0;
  virtual bool KRCOkResult(JobNumber job) = 0;
  virtual JobNumber ShowVar(const std::u16string& name, const std::u16string& second) = 0;
  virtual bool ShowVarResult(JobNumber job, std::u16string& value) = 0;
  // Ends the registration; synchronous.
  virtual bool Exit() = 0;

  // Fired from the message loop when a job has finished.
  std::function<void(JobNumber nJob, std::int32_t lError)> OnCmdMessage;
};

}  // namespace crosslib
