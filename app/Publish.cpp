#include "app/Mdialog.h"
#include "app/PositionDatagram.h"
#include "app/ValueLabel.h"

namespace jointcast {

void TFMDialog::Publish() {
  // A reply without six usable numbers is not a reading: the labels keep the last one and
  // nothing is sent.
  const std::optional<AxisValues> axes =
      ValueText.empty() ? std::nullopt : ScanAxisReply(ValueText);
  if (!axes || !Sendable(*axes)) {
    PArm->SetColor(ui::TColor::Red);
    return;
  }
  const std::string separator = toolkit_.DecimalSeparator();
  for (std::size_t i = 0; i < AxisLabels.size(); ++i) {
    if (AxisLabels[i] != nullptr) AxisLabels[i]->SetCaption(ValueLabelText((*axes)[i], separator));
  }
  bool sendFailed = false;
  if (AddressValid) {
    const auto length = FormatPositionDatagram(*axes, SendBuffer, sizeof SendBuffer);
    sendFailed = !length || sockets_.SendTo(Sock, SendBuffer, *length, Destination) == -1;
  }
  PArm->SetColor(AddressValid && !sendFailed ? ui::TColor::Green : ui::TColor::Red);
}

}  // namespace jointcast
