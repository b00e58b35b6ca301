#include "app/Mdialog.h"

#include <stdexcept>

namespace jointcast {

using ui::Alignment;
using ui::TColor;

TFMDialog::TFMDialog(DialogEnvironment environment)
    : toolkit_(environment.toolkit),
      application_(environment.toolkit.Application()),
      clock_(environment.clock),
      sockets_(environment.sockets) {
  CreateComponents();
  Cross = environment.createCross();
  if (!Cross) throw std::runtime_error("CrossLib control not available");
  Cross->OnCmdMessage = [this](crosslib::JobNumber nJob, std::int32_t lError) {
    CrossCmdMessage(nullptr, nJob, lError);
  };
  TMessage = toolkit_.CreateTimer(*Form, {"TMessage", 5000, false});
  TMessage->OnTimer = [this](TObject* sender) { TMessageTimer(sender); };

  ValueText.clear();
  Form->SetPosition(Form->ScreenWidth() - Form->Width(), 0);
  Timeout = 3000;
  Sock = platform::kNoSocket;
  AddressValid = false;
  Destination = platform::SocketAddressV4{};
  Destination.family = platform::kFamilyIPv4;
  Destination.SetPort(kDatagramPort);

  if (!sockets_.Startup()) throw std::runtime_error("WSAStartup");
  Sock = sockets_.OpenUdp();
  if (Sock == platform::kNoSocket) throw std::runtime_error("create socket");
}

TFMDialog::~TFMDialog() {
  // A window that was never shown and hidden still owns its socket.
  if (Sock != platform::kNoSocket) sockets_.Close(Sock);
  ValueText.clear();
}

void TFMDialog::CreateComponents() {
  Form = toolkit_.CreateForm({"Jointcast V3", 159, 125, "MS Sans Serif", -11});
  Form->OnShow = [this](TObject* sender) { FormShow(sender); };
  Form->OnHide = [this](TObject* sender) { FormHide(sender); };

  auto value = [this](const char* name, int left, int top) {
    return toolkit_.CreateLabel(*Form, {name, {left, top, 41, 13}, "0", Alignment::Right});
  };
  auto caption = [this](const char* name, int left, int top, const char* text) {
    return toolkit_.CreateLabel(*Form, {name, {left, top, 13, 13}, text, Alignment::Left});
  };
  LA0 = value("LA0", 32, 56);
  Label1 = caption("Label1", 16, 56, "A1");
  LA1 = value("LA1", 32, 72);
  Label3 = caption("Label3", 16, 72, "A2");
  LA2 = value("LA2", 32, 88);
  Label5 = caption("Label5", 16, 88, "A3");
  Label6 = caption("Label6", 88, 56, "A4");
  LA3 = value("LA3", 104, 56);
  Label8 = caption("Label8", 88, 72, "A5");
  LA4 = value("LA4", 104, 72);
  Label10 = caption("Label10", 88, 88, "A6");
  LA5 = value("LA5", 104, 88);
  LMessage = toolkit_.CreateLabel(*Form, {"LMessage", {16, 104, 129, 13}, "", Alignment::Left});
  PCross = toolkit_.CreatePanel(
      *Form, {"PCross", {16, 8, 65, 25}, "Cross", TColor::Red, TColor::White, 0});
  PArm =
      toolkit_.CreatePanel(*Form, {"PArm", {80, 8, 65, 25}, "Arm", TColor::Red, TColor::White, 1});
  EAddress = toolkit_.CreateEdit(*Form, {"EAddress", {16, 35, 89, 17}, "localhost", 2});
  EAddress->OnKeyDown = [this](TObject* sender, std::uint16_t key, ui::ShiftState shift) {
    EAddressKeyDown(sender, key, shift);
  };
  BSet = toolkit_.CreateButton(*Form, {"BSet", {104, 35, 41, 17}, "Set", 3});
  BSet->OnClick = [this](TObject* sender) { BSetClick(sender); };
}

ui::TComponent* TFMDialog::FindComponent(const std::string& name) const {
  const std::array<ui::TComponent*, 19> all{
      LA0.get(),      Label1.get(), LA1.get(),      Label3.get(), LA2.get(),
      Label5.get(),   Label6.get(), LA3.get(),      Label8.get(), LA4.get(),
      Label10.get(),  LA5.get(),    LMessage.get(), PCross.get(), PArm.get(),
      EAddress.get(), BSet.get(),   TMessage.get(), Form.get()};
  for (ui::TComponent* component : all) {
    if (component != nullptr && component->Name() == name) return component;
  }
  return nullptr;
}

void TFMDialog::FormShow(TObject*) {
  SetMessage("Hello, have fun!", false);
  BSetClick(nullptr);
  for (std::size_t i = 0; i < AxisLabels.size(); ++i) {
    AxisLabels[i] = dynamic_cast<ui::TLabel*>(FindComponent("LA" + std::to_string(i)));
  }
  application_.SetOnIdle([this](TObject* sender, bool& done) { AppIdle(sender, done); });
}

void TFMDialog::FormHide(TObject*) {
  if (Sock != platform::kNoSocket) {
    sockets_.ShutdownBoth(Sock);
    sockets_.Close(Sock);
    // Forget the handle: a second hide must not close a descriptor the system has reused.
    Sock = platform::kNoSocket;
  }
  sockets_.Cleanup();
  if (Cross) Cross->Exit();
}

void TFMDialog::SetMessage(const std::string& text, bool isError) {
  LMessage->SetCaption(text);
  LMessage->SetColor(isError ? TColor::Red : TColor::BtnFace);
  TMessage->SetEnabled(true);
}

void TFMDialog::TMessageTimer(TObject*) {
  TMessage->SetEnabled(false);
  LMessage->SetColor(TColor::BtnFace);
  LMessage->SetCaption(kRestingNotice);
}

void TFMDialog::FatalError(const std::string& text) {
  endedByFatalError_ = true;
  Cross.reset();
  SetMessage(text, true);
  application_.SetOnIdle({});
  application_.ProcessMessages();
  clock_.Sleep(2500);
  Form->Close();
}

}  // namespace jointcast
