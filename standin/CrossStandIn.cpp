// A stand-in for the controller's CrossLib ActiveX control, for tests and demonstrations on
// machines without a controller: the same class ID and interfaces, driven by the simulated arm.
// It is never installed on a real controller PC.
//
// Environment, read when the control is created:
//   JOINTCAST_STANDIN_LOG         file that gets one line per Init and Exit call
//   JOINTCAST_STANDIN_LATENCY_MS  reply latency (default 4)
//   JOINTCAST_STANDIN_FAULTS      comma list: refuseInit, notReady=N, neverComplete,
//                                 readsNeverComplete, otherJob, failReads=N, and of the
//                                 control itself: noEvents (no connection point for them),
//                                 refuseAdvise (the connection point refuses the sink),
//                                 raiseOnInit (Init raises an automation exception)
// Like many real controls it fires events only once its host has given it a client site and
// initialised it (IPersistStreamInit::InitNew or Load); until then it logs "event withheld".
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/CrossLib_OCX.h"
#include "lib/sim/SimulatedCross.h"
#include "lib/win/CrossIdentity.h"
#include "platform/Clock.h"
#include "platform/EventPoster.h"

namespace {

HMODULE gModule = nullptr;
LONG gObjects = 0;
LONG gLocks = 0;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void Log(const std::string& line) {
  const std::string path = Env("JOINTCAST_STANDIN_LOG");
  if (path.empty()) return;
  if (FILE* file = std::fopen(path.c_str(), "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

bool HasFault(const std::string& name) {
  return ("," + Env("JOINTCAST_STANDIN_FAULTS") + ",").find("," + name + ",") != std::string::npos;
}

sim::Faults FaultsFromEnvironment() {
  sim::Faults faults;
  std::string list = Env("JOINTCAST_STANDIN_FAULTS") + ",";
  std::size_t start = 0;
  for (std::size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
    const std::string item = list.substr(start, comma - start);
    const std::size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const int count = eq == std::string::npos ? -1 : std::atoi(item.c_str() + eq + 1);
    if (key == "refuseInit") faults.refuseInit = count;
    if (key == "notReady") faults.notReady = count < 0 ? 1000000 : count;
    if (key == "neverComplete") faults.neverComplete = true;
    if (key == "readsNeverComplete") faults.readsNeverComplete = true;
    if (key == "otherJob") faults.completeWithOtherJob = true;
    if (key == "failReads") faults.failReads = count;
  }
  return faults;
}

// Runs work from the host's message loop through a message-only window of the control's own, so
// events never fire inside a call.
class WindowPoster : public platform::EventPoster {
 public:
  WindowPoster() {
    WNDCLASSW cls{};
    cls.lpfnWndProc = Proc;
    cls.hInstance = gModule;
    cls.lpszClassName = L"CrossStandInEvents";
    RegisterClassW(&cls);
    window_ = CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              gModule, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~WindowPoster() override {
    DestroyWindow(window_);
    // Fails harmlessly while another control's window still uses the class.
    UnregisterClassW(L"CrossStandInEvents", gModule);
  }

  void Post(std::uint32_t delayMs, std::function<void()> work) override {
    const UINT_PTR id = next_++;
    work_[id] = std::move(work);
    SetTimer(window_, id, delayMs == 0 ? USER_TIMER_MINIMUM : delayMs, nullptr);
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<WindowPoster*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message == WM_TIMER) {
      KillTimer(window, wParam);
      auto it = self->work_.find(wParam);
      if (it != self->work_.end()) {
        auto work = std::move(it->second);
        self->work_.erase(it);
        work();
      }
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }
  HWND window_ = nullptr;
  std::map<UINT_PTR, std::function<void()>> work_;
  UINT_PTR next_ = 1;
};

class CrossObject;

class ConnectionPoint : public IConnectionPoint {
 public:
  explicit ConnectionPoint(CrossObject& owner) : owner_(owner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    *iid = crosslib::EventInterfaceId();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    IDispatch* dispatch = nullptr;
    if (HasFault("refuseAdvise")) return CONNECT_E_ADVISELIMIT;
    if (sink == nullptr || cookie == nullptr ||
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = nextCookie_++;
    sinks_[*cookie] = dispatch;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    auto it = sinks_.find(cookie);
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    it->second->Release();
    sinks_.erase(it);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  void FireCmdMessage(crosslib::JobNumber job, std::int32_t error) {
    const auto sinks = sinks_;
    for (const auto& [cookie, sink] : sinks) {
      VARIANT args[2];
      VariantInit(&args[0]);
      VariantInit(&args[1]);
      args[1].vt = VT_I2;  // nJob, first argument, last in the array
      args[1].iVal = job;
      args[0].vt = VT_I4;
      args[0].lVal = error;
      DISPPARAMS params{args, nullptr, 2, 0};
      sink->Invoke(crosslib::kDispEventCmdMessage, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                   &params, nullptr, nullptr, nullptr);
    }
  }
  void ReleaseAll() {
    for (auto& [cookie, sink] : sinks_) sink->Release();
    sinks_.clear();
  }

 private:
  CrossObject& owner_;
  std::map<DWORD, IDispatch*> sinks_;
  DWORD nextCookie_ = 1;
};

// The control object: IDispatch with the CrossLib DISPIDs, one connection point for its events,
// and just enough of IOleObject and IPersistStreamInit for an ActiveX host.
class CrossObject : public IDispatch,
                    public IConnectionPointContainer,
                    public IOleObject,
                    public IPersistStreamInit {
 public:
  CrossObject()
      : point_(*this),
        cross_(poster_, platform::SystemClock(),
               static_cast<std::uint32_t>(
                   std::atoi(Env("JOINTCAST_STANDIN_LATENCY_MS").empty()
                                 ? "4"
                                 : Env("JOINTCAST_STANDIN_LATENCY_MS").c_str()))) {
    InterlockedIncrement(&gObjects);
    cross_.faults = FaultsFromEnvironment();
    cross_.OnCmdMessage = [this](crosslib::JobNumber job, std::int32_t error) {
      if (site_ == nullptr || !initialised_) {
        Log("event withheld: no client site or not initialised");
        return;
      }
      AddRef();
      point_.FireCmdMessage(job, error);
      Release();
    };
  }
  virtual ~CrossObject() {
    point_.ReleaseAll();
    if (site_ != nullptr) site_->Release();
    InterlockedDecrement(&gObjects);
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == crosslib::DispatchInterfaceId()) {
      *out = static_cast<IDispatch*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_IOleObject) {
      *out = static_cast<IOleObject*>(this);
    } else if (iid == IID_IPersistStreamInit || iid == IID_IPersist) {
      *out = static_cast<IPersistStreamInit*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return left;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    static const std::map<std::wstring, DISPID> known{
        {L"Init", crosslib::kDispInit},
        {L"KRCOk", crosslib::kDispKRCOk},
        {L"KRCOkResult", crosslib::kDispKRCOkResult},
        {L"ShowVar", crosslib::kDispShowVar},
        {L"ShowVarResult", crosslib::kDispShowVarResult},
        {L"Exit", crosslib::kDispExit}};
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      auto it = known.find(names[i]);
      ids[i] = it == known.end() ? DISPID_UNKNOWN : it->second;
      if (it == known.end()) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT* argError) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (iid != crosslib::EventInterfaceId() || HasFault("noEvents")) {
      *out = nullptr;
      return CONNECT_E_NOCONNECTION;
    }
    *out = &point_;
    point_.AddRef();
    return S_OK;
  }

  // IOleObject: a control without a user interface of its own.
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
    if (site != nullptr) site->AddRef();
    if (site_ != nullptr) site_->Release();
    site_ = site;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override {
    *site = site_;
    if (site_ != nullptr) site_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override {
    *clsid = crosslib::ClassId();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR*) override { return OLE_S_USEREG; }
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD, SIZEL*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD, SIZEL* size) override {
    size->cx = size->cy = 847;  // 32 pixels in HIMETRIC
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink*, DWORD* cookie) override {
    *cookie = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD, DWORD* status) override {
    *status = OLEMISC_INVISIBLEATRUNTIME | OLEMISC_SETCLIENTSITEFIRST;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IPersistStreamInit: nothing to persist.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
    *clsid = crosslib::ClassId();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(LPSTREAM) override {
    initialised_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Save(LPSTREAM, BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override {
    size->QuadPart = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InitNew() override {
    initialised_ = true;
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  WindowPoster poster_;
  ConnectionPoint point_;
  sim::SimulatedCross cross_;
  IOleClientSite* site_ = nullptr;
  bool initialised_ = false;

  friend class ConnectionPoint;
};

ULONG STDMETHODCALLTYPE ConnectionPoint::AddRef() {
  return owner_.AddRef();
}
ULONG STDMETHODCALLTYPE ConnectionPoint::Release() {
  return owner_.Release();
}
HRESULT STDMETHODCALLTYPE
ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  return owner_.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
}

std::u16string ArgText(const VARIANT& v) {
  VARIANT text;
  VariantInit(&text);
  if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&v), 0, VT_BSTR))) return {};
  std::u16string out(reinterpret_cast<const char16_t*>(text.bstrVal), SysStringLen(text.bstrVal));
  VariantClear(&text);
  return out;
}

bool ArgShort(const VARIANT& v, crosslib::JobNumber& out) {
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeType(&s, const_cast<VARIANT*>(&v), 0, VT_I2))) return false;
  out = s.iVal;
  return true;
}

void SetBool(VARIANT* result, bool value) {
  if (result == nullptr) return;
  VariantInit(result);
  result->vt = VT_BOOL;
  result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetShort(VARIANT* result, crosslib::JobNumber value) {
  if (result == nullptr) return;
  VariantInit(result);
  result->vt = VT_I2;
  result->iVal = value;
}

HRESULT STDMETHODCALLTYPE CrossObject::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                              VARIANT* result, EXCEPINFO* exception,
                                              UINT* argError) {
  const UINT count = params ? params->cArgs : 0;
  auto arg = [&](UINT i) -> const VARIANT& { return params->rgvarg[count - 1 - i]; };
  auto need = [&](UINT n) { return count >= n; };
  if (argError != nullptr) *argError = 0;
  AddRef();  // an event fired from inside must not destroy us mid-call
  HRESULT hr = S_OK;
  switch (id) {
    case crosslib::kDispInit:
      if (!need(3)) {
        hr = DISP_E_BADPARAMCOUNT;
        break;
      }
      if (HasFault("raiseOnInit") && exception != nullptr) {
        // A control's own error, described the way automation does it.
        *exception = EXCEPINFO{};
        exception->wCode = 1001;
        exception->bstrSource = SysAllocString(L"CrossStandIn");
        exception->bstrDescription = SysAllocString(L"controller refused the client name");
        hr = DISP_E_EXCEPTION;
        break;
      }
      {
        const std::u16string name = ArgText(arg(0));
        const bool ok = cross_.Init(name, ArgText(arg(1)), 0);
        Log("Init " + sim::Narrow(name) + (ok ? " ok" : " refused"));
        SetBool(result, ok);
      }
      break;
    case crosslib::kDispKRCOk:
      SetShort(result, cross_.KRCOk());
      break;
    case crosslib::kDispKRCOkResult: {
      crosslib::JobNumber job = 0;
      if (!need(1) || !ArgShort(arg(0), job)) {
        hr = DISP_E_TYPEMISMATCH;
        break;
      }
      SetBool(result, cross_.KRCOkResult(job));
      break;
    }
    case crosslib::kDispShowVar:
      if (!need(2)) {
        hr = DISP_E_BADPARAMCOUNT;
        break;
      }
      SetShort(result, cross_.ShowVar(ArgText(arg(0)), ArgText(arg(1))));
      break;
    case crosslib::kDispShowVarResult: {
      crosslib::JobNumber job = 0;
      if (!need(2) || !ArgShort(arg(0), job) || arg(1).vt != (VT_BYREF | VT_BSTR)) {
        hr = DISP_E_TYPEMISMATCH;
        break;
      }
      std::u16string value;
      const bool ok = cross_.ShowVarResult(job, value);
      BSTR* out = arg(1).pbstrVal;
      if (ok && out != nullptr) {
        SysFreeString(*out);
        *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.data()),
                                 static_cast<UINT>(value.size()));
      }
      SetBool(result, ok);
      break;
    }
    case crosslib::kDispExit:
      Log("Exit");
      SetBool(result, cross_.Exit());
      break;
    default:
      hr = DISP_E_MEMBERNOTFOUND;
  }
  Release();
  return hr;
}

class ClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new CrossObject();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? InterlockedIncrement(&gLocks) : InterlockedDecrement(&gLocks);
    return S_OK;
  }
};

ClassFactory gFactory;

bool SetKey(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG status =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    gModule = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (clsid != crosslib::ClassId()) return CLASS_E_CLASSNOTAVAILABLE;
  return gFactory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return gObjects == 0 && gLocks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(gModule, path, MAX_PATH);
  const std::wstring base = std::wstring(L"CLSID\\") + crosslib::WideText(crosslib::kClassId);
  const bool ok = SetKey(base, nullptr, L"CrossLib stand-in (simulated controller)") &&
                  SetKey(base + L"\\InprocServer32", nullptr, path) &&
                  SetKey(base + L"\\InprocServer32", L"ThreadingModel", L"Apartment") &&
                  SetKey(base + L"\\Control", nullptr, L"");
  return ok ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const std::wstring base = std::wstring(L"CLSID\\") + crosslib::WideText(crosslib::kClassId);
  // The keys registration made, children first (XP has no call that deletes a tree).
  for (const std::wstring& key : {base + L"\\InprocServer32", base + L"\\Control", base}) {
    const LONG status = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return SELFREG_E_CLASS;
  }
  return S_OK;
}
