#include "lib/win/CrossControl.h"

#include "lib/win/CrossIdentity.h"
#include "platform/win/DllSearch.h"
#include "platform/win/RegistryText.h"

#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace crosslib {
namespace {

using AtlAxWinInitFn = BOOL(WINAPI*)();
using AtlAxGetControlFn = HRESULT(WINAPI*)(HWND, IUnknown**);

std::string HresultText(const char* what, HRESULT hr) {
  char text[160];
  wsprintfA(text, "%s failed (HRESULT 0x%08lX)", what, static_cast<unsigned long>(hr));
  return text;
}

// Hosts the control with the system's ATL (loaded at run time: MinGW has no ATL headers), from
// the system folder only: an atl.dll put beside the program must never be the one loaded.
IUnknown* HostWithAtl(HWND parent, HWND& host) {
  HMODULE atl = platform::LoadSystemDll(L"atl.dll");
  if (atl == nullptr) return nullptr;
  auto init = reinterpret_cast<AtlAxWinInitFn>(
      reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
  auto getControl = reinterpret_cast<AtlAxGetControlFn>(
      reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")));
  if (init == nullptr || getControl == nullptr || !init()) return nullptr;
  host = CreateWindowExW(0, L"AtlAxWin", WideText(kClassId), WS_CHILD, 8, 16, 32, 32, parent,
                         nullptr, GetModuleHandleW(nullptr), nullptr);
  if (host == nullptr) return nullptr;
  IUnknown* control = nullptr;
  if (FAILED(getControl(host, &control)) || control == nullptr) {
    DestroyWindow(host);
    host = nullptr;
    return nullptr;
  }
  return control;
}

// Where the control is registered, for letting its own folder into the DLL search.
std::wstring RegisteredServerPath() {
  const std::wstring key = std::wstring(L"CLSID\\") + WideText(kClassId) + L"\\InprocServer32";
  std::wstring text =
      platform::ReadRegistryText(HKEY_CLASSES_ROOT, key, nullptr).value_or(std::wstring());
  if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
    text = text.substr(1, text.size() - 2);  // registered with quotes around it
  }
  return text;
}

struct Arguments {
  // DISPPARAMS takes the arguments last to first.
  explicit Arguments(const std::vector<VARIANT>& inOrder)
      : values(inOrder.rbegin(), inOrder.rend()) {}
  ~Arguments() {
    for (VARIANT& v : values) {
      if (!(v.vt & VT_BYREF)) VariantClear(&v);
    }
  }
  std::vector<VARIANT> values;
};

VARIANT Text(const std::u16string& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                static_cast<UINT>(text.size()));
  return v;
}

VARIANT Short(JobNumber value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I2;
  v.iVal = value;
  return v;
}

VARIANT Long(std::int32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

// The control's own description of an exception it raised; frees the strings it came with.
std::string TakeDescription(EXCEPINFO& error) {
  if (error.pfnDeferredFillIn != nullptr) error.pfnDeferredFillIn(&error);
  std::string text;
  if (error.bstrDescription != nullptr) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, error.bstrDescription,
                                           static_cast<int>(SysStringLen(error.bstrDescription)),
                                           nullptr, 0, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, error.bstrDescription,
                        static_cast<int>(SysStringLen(error.bstrDescription)), text.data(), length,
                        nullptr, nullptr);
  }
  SysFreeString(error.bstrSource);
  SysFreeString(error.bstrDescription);
  SysFreeString(error.bstrHelpFile);
  error = EXCEPINFO{};
  return text;
}

VARIANT Call(IDispatch* dispatch, DISPID id, const char* name, std::vector<VARIANT> args) {
  Arguments arguments(args);
  DISPPARAMS params{arguments.values.data(), nullptr, static_cast<UINT>(arguments.values.size()),
                    0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO error{};
  const HRESULT hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                      &result, &error, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    const std::string description = TakeDescription(error);
    throw std::runtime_error(HresultText(name, hr) +
                             (description.empty() ? "" : ": " + description));
  }
  if (FAILED(hr)) throw std::runtime_error(HresultText(name, hr));
  return result;
}

bool AsBool(VARIANT v) {
  VARIANT b;
  VariantInit(&b);
  const bool ok = SUCCEEDED(VariantChangeType(&b, &v, 0, VT_BOOL)) && b.boolVal != VARIANT_FALSE;
  VariantClear(&v);
  return ok;
}

JobNumber AsJob(VARIANT v) {
  VARIANT s;
  VariantInit(&s);
  const JobNumber job = SUCCEEDED(VariantChangeType(&s, &v, 0, VT_I2)) ? s.iVal : 0;
  VariantClear(&v);
  return job;
}

}  // namespace

// Receives the control's events; DISPID 1 is CmdMessage(nJob, lError).
class CrossControl::EventSink final : public IDispatch {
 public:
  explicit EventSink(CrossControl& owner) : owner_(&owner) {}
  void Detach() { owner_ = nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == EventInterfaceId()) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (id != kDispEventCmdMessage || owner_ == nullptr || params == nullptr || params->cArgs < 2) {
      return S_OK;
    }
    VARIANT job, error;
    VariantInit(&job);
    VariantInit(&error);
    // Arguments come last to first: rgvarg[1] is nJob, rgvarg[0] is lError.
    if (FAILED(VariantChangeType(&job, &params->rgvarg[1], 0, VT_I2)) ||
        FAILED(VariantChangeType(&error, &params->rgvarg[0], 0, VT_I4))) {
      return DISP_E_TYPEMISMATCH;
    }
    // The control called us: nothing of ours may unwind into its code.
    try {
      if (owner_->OnCmdMessage) owner_->OnCmdMessage(job.iVal, error.lVal);
    } catch (...) {
      return E_UNEXPECTED;
    }
    return S_OK;
  }

 private:
  CrossControl* owner_;
  ULONG refs_ = 1;
};

// The site a control hosted without ATL is given: enough for a control that wants one before it
// runs; it offers nothing else.
class CrossControl::ClientSite final : public IOleClientSite {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
      *out = static_cast<IOleClientSite*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

 private:
  ULONG refs_ = 1;
};

CrossControl::CrossControl(HWND parent) {
  // The DLL search leaves out the current directory and PATH; the control's own folder is in.
  platform::AllowDllFolderOf(RegisteredServerPath());
  // The control is an in-process server. Asking for it that way first fails fast when it is not
  // registered; the host's own lookup would also try out-of-process servers, which can take long.
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(ClassId(), CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr) || factory == nullptr) {
    throw std::runtime_error(hr == REGDB_E_CLASSNOTREG
                                 ? "CrossLib control is not registered on this computer"
                                 : HresultText("Loading the CrossLib control", hr));
  }
  factory->Release();
  IUnknown* control = HostWithAtl(parent, host_);
  if (control == nullptr) {
    hr = CoCreateInstance(ClassId(), nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(&control));
    if (SUCCEEDED(hr) && control != nullptr) HostWithoutAtl(control, parent);
  }
  if (control == nullptr || FAILED(hr)) {
    throw std::runtime_error(HresultText("Creating the CrossLib control", hr));
  }
  hr = control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch_));
  IConnectionPointContainer* container = nullptr;
  if (SUCCEEDED(hr)) {
    control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
  }
  control->Release();
  if (FAILED(hr) || dispatch_ == nullptr) {
    dispatch_ = nullptr;
    TearDown();
    throw std::runtime_error("CrossLib control has no dispatch interface");
  }
  sink_ = new EventSink(*this);
  IConnectionPoint* point = nullptr;
  if (container != nullptr &&
      SUCCEEDED(container->FindConnectionPoint(EventInterfaceId(), &point)) && point != nullptr) {
    if (FAILED(point->Advise(sink_, &cookie_))) cookie_ = 0;
    point->Release();
  }
  if (container != nullptr) container->Release();
  if (cookie_ == 0) {
    // Without its completion events every read would end in a time-out that blames the
    // controller; say what is wrong instead.
    TearDown();
    throw std::runtime_error("CrossLib control does not deliver its events to this program");
  }
}

void CrossControl::HostWithoutAtl(IUnknown* control, HWND parent) {
  // What an ActiveX host does: a client site (first, where the control asks for it), a fresh
  // state, and activation where the control wants to be active when shown.
  if (FAILED(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole_)))) {
    ole_ = nullptr;
  }
  DWORD misc = 0;
  if (ole_ != nullptr && FAILED(ole_->GetMiscStatus(DVASPECT_CONTENT, &misc))) misc = 0;
  site_ = new ClientSite;
  if (ole_ != nullptr && (misc & OLEMISC_SETCLIENTSITEFIRST)) ole_->SetClientSite(site_);
  IPersistStreamInit* persist = nullptr;
  if (SUCCEEDED(
          control->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist))) &&
      persist != nullptr) {
    persist->InitNew();
    persist->Release();
  }
  if (ole_ != nullptr && !(misc & OLEMISC_SETCLIENTSITEFIRST)) ole_->SetClientSite(site_);
  if (ole_ != nullptr && (misc & OLEMISC_ACTIVATEWHENVISIBLE)) {
    RECT place{8, 16, 40, 48};
    ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0, parent, &place);
  }
}

void CrossControl::TearDown() {
  if (cookie_ != 0 && dispatch_ != nullptr) {
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(dispatch_->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&container)))) {
      IConnectionPoint* point = nullptr;
      if (SUCCEEDED(container->FindConnectionPoint(EventInterfaceId(), &point)) &&
          point != nullptr) {
        point->Unadvise(cookie_);
        point->Release();
      }
      container->Release();
    }
    cookie_ = 0;
  }
  if (sink_ != nullptr) {
    sink_->Detach();
    sink_->Release();
    sink_ = nullptr;
  }
  if (dispatch_ != nullptr) {
    dispatch_->Release();
    dispatch_ = nullptr;
  }
  if (ole_ != nullptr) {
    ole_->Close(OLECLOSE_NOSAVE);
    ole_->SetClientSite(nullptr);
    ole_->Release();
    ole_ = nullptr;
  }
  if (site_ != nullptr) {
    site_->Release();
    site_ = nullptr;
  }
  if (host_ != nullptr) {
    DestroyWindow(host_);
    host_ = nullptr;
  }
}

CrossControl::~CrossControl() {
  TearDown();
}

bool CrossControl::Init(const std::u16string& clientName, const std::u16string& second,
                        std::int32_t flags) {
  return AsBool(Call(dispatch_, kDispInit, "Init", {Text(clientName), Text(second), Long(flags)}));
}

JobNumber CrossControl::KRCOk() {
  return AsJob(Call(dispatch_, kDispKRCOk, "KRCOk", {}));
}

bool CrossControl::KRCOkResult(JobNumber job) {
  return AsBool(Call(dispatch_, kDispKRCOkResult, "KRCOkResult", {Short(job)}));
}

JobNumber CrossControl::ShowVar(const std::u16string& name, const std::u16string& second) {
  return AsJob(Call(dispatch_, kDispShowVar, "ShowVar", {Text(name), Text(second)}));
}

bool CrossControl::ShowVarResult(JobNumber job, std::u16string& value) {
  BSTR text = nullptr;
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_BYREF | VT_BSTR;
  out.pbstrVal = &text;
  const bool ok = AsBool(Call(dispatch_, kDispShowVarResult, "ShowVarResult", {Short(job), out}));
  if (text != nullptr) {
    value.assign(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
    SysFreeString(text);
  } else if (ok) {
    value.clear();
  }
  return ok;
}

bool CrossControl::Exit() {
  AsBool(Call(dispatch_, kDispExit, "Exit", {}));
  return true;
}

}  // namespace crosslib
