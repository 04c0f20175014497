// The ZModem receiver: waits for the sender's ZRQINIT, answers with its ZRINIT, creates each
// offered file in the work folder (replacing a file of that name), asks for the data from the
// start, writes the subpackets as they come, acknowledges ZCRCW subpackets with the count
// received, and ends when the sender's ZFIN has been answered and "OO" has arrived. Every file
// is received from its beginning (no crash recovery). A damaged subpacket is asked for again
// with a ZRPOS at the count received, so nothing is lost or written twice.
#pragma once

#include <cstdint>
#include <string>

#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/zmodem_framing.h"

namespace chanfold {

enum class ZReceiverState {
  kWaitingForInvitation,  // for the sender's ZRQINIT
  kBetweenFiles,          // ZRINIT sent, no file open
  kFileOpen,              // a file is open, headers are read (ZDATA, ZEOF)
  kReceivingData,         // subpackets of a ZDATA frame
  kRecovering,            // ZRPOS sent after damage; subpackets are skipped until the restart
  kDone,
  kAborted,
};
const char* ToString(ZReceiverState s);

class ZModemReceiver {
 public:
  explicit ZModemReceiver(ChanfoldCtrl& ctl) : ctl_(ctl), z_(ctl) {}
  // Receives files into the work folder until the sender ends the batch; returns when the
  // transfer has ended.
  void Run();
  ZReceiverState state() const { return state_; }

 private:
  void SetState(ZReceiverState s);
  bool Stopped();  // true (and aborted) when the transfer-stop flag is set
  void Abort();
  void SendHex(int type, uint32_t value);
  void SendZRInit();
  // Asks the sender to send again from the count received.
  void AskAgain();
  bool AwaitInvitation();
  void ReadHeaders();
  // Each returns false when the transfer has ended.
  bool OnFile();
  bool OnData();
  void OnEndOfFile();
  void OnFinish();
  void WriteSubpacket();
  // After a time-out while waiting for a header: false (and aborted) at the limit; otherwise
  // the time-out runs again and the last answer goes out again, in case it was lost.
  bool HandleHeaderTimeout();

  ChanfoldCtrl& ctl_;
  ZModemFraming z_;
  ZReceiverState state_ = ZReceiverState::kWaitingForInvitation;
  int32_t received_ = 0;  // bytes of the current file written (the value of its ZACKs)
  std::u16string name_;   // name of the current file
  int bad_offers_ = 0;    // damaged file information subpackets in a row
};

}  // namespace chanfold
