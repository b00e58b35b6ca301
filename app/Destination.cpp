#include "app/Mdialog.h"

namespace jointcast {

void TFMDialog::BSetClick(TObject*) {
  const auto address = sockets_.ResolveIPv4(EAddress->Text());
  if (!address) {
    SetMessage("IP address not valid", true);
    AddressValid = false;  // the old address bytes stay as they were
    return;
  }
  Destination.address = *address;
  AddressValid = true;
}

void TFMDialog::EAddressKeyDown(TObject*, std::uint16_t Key, ui::ShiftState) {
  if (Key == ui::kKeyReturn) BSet->Click();
}

}  // namespace jointcast
