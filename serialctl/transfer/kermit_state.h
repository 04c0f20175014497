// The Kermit packet layer's state: the parameters that the Send-Init exchange settles, the own
// sequence number, what the last packet read left behind, a copy of the last packet sent and the
// bookkeeping of the file block buffer. It is part of the control's transfer state (the abort
// routine sends the error packet with the own sequence number and the block check in use), so
// it is a plain record without behaviour; kermit_packets.h works on it.
#pragma once

#include <array>
#include <cstdint>

namespace chanfold {

// Size of the last-packet buffer, the same as the control's transfer buffers.
inline constexpr int kKermitLastPacketSize = 4097;

struct KermitState {
  // Parameters (KermitDefaults sets them; KermitTakeInit and KermitCheckPrefixes change them).
  int32_t maxl = 94;    // largest packet length (LEN) the peer takes
  int32_t time = 5;     // time-out in seconds announced to the peer
  int32_t npad = 0;     // pad characters before each packet
  uint8_t padc = 0x00;  // the pad character
  uint8_t eol = 13;     // character after each packet
  uint8_t qctl = '#';   // control prefix
  uint8_t qbin = '&';   // 8-bit prefix
  bool bin_prefixing = true;
  uint8_t block_check = '1';  // check type of the packets being sent and read
  uint8_t chkt = '3';         // check type asked for in Send-Init
  uint8_t rept = '~';         // repeat prefix
  bool repeat_counts = true;
  int32_t capas = 3;
  int32_t windo = 1;
  int32_t maxlx = 255;

  int32_t own_seq = 0;  // 0 to 63

  // The last packet read: its type ('Q' when none came), sequence number, and where its data
  // lies in the work buffer (data offset 4 for a normal packet, 7 for an extended one).
  uint8_t read_type = 'Q';
  int32_t read_seq = 0;
  int32_t read_data_length = 0;
  int32_t read_data_offset = 4;

  // The last packet sent, MARK to EOL, for retransmission.
  std::array<uint8_t, kKermitLastPacketSize> last_packet{};
  int32_t last_packet_length = 0;

  // File block buffer: fill count, read position and end of file (sender); the source bytes that
  // the last KermitEncodeData consumed.
  int32_t block_fill = 0;
  int32_t block_pos = 0;
  bool end_of_file = false;
  int32_t consumed = 0;
};

}  // namespace chanfold
