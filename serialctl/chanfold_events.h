// The control's events, in the slot order of its event interface (dispatch identifiers 1 to 14).
// A host overrides the ones it handles; all are raised synchronously on the host's thread.
#pragma once

#include <cstdint>
#include <string>

namespace chanfold {

class ChanfoldEvents {
 public:
  virtual ~ChanfoldEvents() = default;
  virtual void OnComm(int32_t /*count*/) {}                          // 1
  virtual void CTSChanged() {}                                       // 2
  virtual void DSRChanged() {}                                       // 3
  virtual void RingChanged() {}                                      // 4
  virtual void CDChanged() {}                                        // 5
  virtual void LineStatus(int16_t /*status_id*/) {}                  // 6
  virtual void HasError(const std::u16string& /*error_msg*/) {}      // 7
  virtual void HasWarning(const std::u16string& /*warning_msg*/) {}  // 8
  virtual void DoInit() {}                                           // 9
  virtual void StartFile(const std::u16string& /*file_name*/) {}     // 10
  virtual void OneBlockDone() {}                                     // 11
  virtual void FinishFile(const std::u16string& /*file_name*/) {}    // 12
  virtual void FinishTransfer() {}                                   // 13
  virtual void AbortTransfer() {}                                    // 14
};

}  // namespace chanfold
