// The indicator as seen from the serial line: its firmware's command interpreter, the loader upload,
// and the boot loader's erase and image transfer. Pure logic: bytes and times in, answers out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transcript.h"

namespace sim {

inline constexpr std::uint32_t kMaxImageSize = 1048576;
inline constexpr std::size_t kBlockSize = 1000;
inline constexpr std::uint8_t kBlockMarker = 0xA5;

struct DeviceConfig {
  // Texts sent between brackets.
  std::string port_type = "0";     // {SCPC}: 0 or 1 is a cable port, anything else Bluetooth
  std::string flash_size = "512";  // {VFSH}: below 1024 suits images up to 600000 bytes
  std::string vc = "1.20";         // {VC}
  std::string vw = "1.07";         // {VW}
  std::string heap = "424000";     // {PS<start>,<end>}: FD, F9, 14 or a hex text
  std::string ft = "1200";         // {FT}: 9249 or less leaves room for the update
  int start_rate = 9600;
  bool boot = false;  // power on in the boot loader
  std::chrono::milliseconds erase_time{300};
  // A "U" that follows this much silence during a transfer is the updater starting over, not data.
  std::chrono::milliseconds resync_gap{500};

  // Faults.
  bool silent = false;
  int answer_after = 0;          // ignore the first N tries of each command
  std::string answer_after_cmd;  // ... or only of this one ("{SEBX38400}", "U"); empty: all
  int drop_ack = 0;              // leave out the Nth single-character answer (0: none)
  char drop_ack_char = 0;        // ... counting only this character; 0: all of them
  bool bad_crc_once = false;     // the first CRC check fails whatever was received
};

class Device {
 public:
  using Send = std::function<void(std::string_view bytes)>;
  using Confirmed = std::function<void(const std::vector<std::uint8_t>& image)>;

  Device(DeviceConfig config, Transcript& transcript, Send send, Confirmed confirmed = {});

  // Bytes as the device's UART delivered them (already garbled if the line was bad).
  void receive(std::span<const std::uint8_t> bytes, Time now);
  // Logs the bytes ignored since the last log line as one line; called after each chunk.
  void flush_stray(Time now);
  // Runs what is due (the end of an erase).
  void poll(Time now);
  std::optional<Time> deadline() const;

  int rate() const { return rate_; }
  int confirmations() const { return confirmations_; }
  const char* mode_name() const;

 private:
  enum class Mode { Firmware, Upload, BootLoader, Erasing, Size, Blocks, Crc, Discard };

  void firmware_byte(std::uint8_t b, Time now);
  void command(std::string_view text, Time now);
  void upload_byte(std::uint8_t b, Time now);
  void end_record(Time now);
  void transfer_byte(std::uint8_t b, Time now);
  void start_erase(Time now);
  // Whether the device acts on this try of a command (or "U"); the silent and answer-after
  // faults say no.
  bool take_try(std::string_view key, Time now);
  // Sends an answer (unless a fault swallows it) and logs "received -> answer".
  void answer(Time now, std::string_view received, std::string_view reply);
  void log(Time now, const std::string& text);

  DeviceConfig cfg_;
  Transcript& log_;
  Send send_;
  Confirmed confirmed_;

  Mode mode_;
  int rate_;
  std::optional<Time> last_rx_;
  std::size_t stray_ = 0;
  std::map<std::string, int, std::less<>> tries_;
  int acks_ = 0;
  bool crc_fault_used_ = false;
  int confirmations_ = 0;

  // Firmware command interpreter.
  static constexpr std::size_t kMaxCommand = 64;
  bool in_command_ = false;
  std::size_t command_length_ = 0;
  std::string command_;

  // Loader upload.
  static constexpr std::size_t kMaxRecord = 520;  // S + type + 255 count bytes as hex, and some slack
  enum class LineState { Collecting, Done, Skipping };
  LineState line_state_ = LineState::Collecting;
  std::string record_;
  int records_ok_ = 0;
  int records_bad_ = 0;

  // Erase and transfer.
  Time erase_end_{};
  std::uint32_t size_ = 0;
  int size_bytes_ = 0;
  std::vector<std::uint8_t> image_;
  std::size_t full_blocks_ = 0;
  std::size_t blocks_done_ = 0;
  std::size_t block_fill_ = 0;
  bool await_marker_ = false;
  static constexpr std::chrono::milliseconds kSeparateAnswers{50};
  std::optional<Time> x_due_;
  std::uint16_t crc_rx_ = 0;
  int crc_bytes_ = 0;
};

}  // namespace sim
