// Placeholder until the transfer manager lands: the transfer members exist so that the control
// links, and every start is refused.
#include "serialctl/chanfold_ctrl.h"

namespace chanfold {

void ChanfoldCtrl::put_XferProtocol(ProtocolType v) {
  if (!transfer_active_) xfer_protocol_ = v;
}
void ChanfoldCtrl::put_XferWorkDir(const std::u16string& v) {
  if (!transfer_active_) xfer_work_dir_ = v;
}
void ChanfoldCtrl::put_XferTimeoutInterval(int32_t v) { xfer_timeout_interval_ = v; }
void ChanfoldCtrl::put_XferTimeoutsAllowed(int16_t v) { xfer_timeouts_allowed_ = v; }
void ChanfoldCtrl::XferClearAllFiles() {}
HResult ChanfoldCtrl::XferAddFile(const std::u16string&) { return kOk; }
void ChanfoldCtrl::XferSetDstFile(const std::u16string&) {}
void ChanfoldCtrl::put_XferStart(VBool) { RaiseAbortTransfer(); }
void ChanfoldCtrl::put_XferStop(VBool v) { transfer_stop_ = v != 0; }
void ChanfoldCtrl::OnTimerXfer() {}
void ChanfoldCtrl::OnTimerOut() {}

}  // namespace chanfold
