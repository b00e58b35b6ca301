#pragma once

#include <windows.h>
// After windows.h: the COM interfaces need its types.
#include <unknwn.h>

#include <memory>

#include "lib/CrossLib_OCX.h"

struct IDispatch;
struct IOleObject;

namespace crosslib {

// The CrossLib ActiveX control hosted on a window, called through IDispatch by DISPID, with its
// CmdMessage event delivered through a connection-point sink. Throws when the control cannot be
// created (not installed or not registered) or cannot deliver its events.
class CrossControl : public TCross {
 public:
  explicit CrossControl(HWND parent);
  ~CrossControl() override;

  bool Init(const std::u16string& clientName, const std::u16string& second,
            std::int32_t flags) override;
  JobNumber KRCOk() override;
  bool KRCOkResult(JobNumber job) override;
  JobNumber ShowVar(const std::u16string& name, const std::u16string& second) override;
  bool ShowVarResult(JobNumber job, std::u16string& value) override;
  bool Exit() override;

 private:
  class EventSink;
  class ClientSite;

  void HostWithoutAtl(IUnknown* control, HWND parent);
  void TearDown();  // undoes whatever construction got done

  IDispatch* dispatch_ = nullptr;
  IOleObject* ole_ = nullptr;  // held only when hosted without ATL
  ClientSite* site_ = nullptr;
  HWND host_ = nullptr;
  EventSink* sink_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace crosslib
