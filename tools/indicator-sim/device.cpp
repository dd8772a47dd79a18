#include "device.h"

#include <cstdio>

#include "crc16.h"
#include "srecord.h"

namespace sim {
namespace {

bool is_hex(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// "PS" start "," end, both hexadecimal: the heap query.
bool is_heap_query(std::string_view cmd) {
  if (cmd.substr(0, 2) != "PS") return false;
  auto rest = cmd.substr(2);
  auto comma = rest.find(',');
  return comma != std::string_view::npos && is_hex(rest.substr(0, comma)) && is_hex(rest.substr(comma + 1));
}

std::optional<int> supported_rate(std::string_view digits) {
  static constexpr int kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  if (digits.empty() || digits.size() > 6) return std::nullopt;
  int v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  for (int r : kRates)
    if (r == v) return v;
  return std::nullopt;
}

std::string hex16(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFFu);
  return buf;
}

long long ms_between(Time a, Time b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

}  // namespace

Device::Device(DeviceConfig config, Transcript& transcript, Send send, Confirmed confirmed)
    : cfg_(std::move(config)),
      log_(transcript),
      send_(std::move(send)),
      confirmed_(std::move(confirmed)),
      mode_(cfg_.boot ? Mode::BootLoader : Mode::Firmware),
      rate_(cfg_.start_rate) {}

const char* Device::mode_name() const {
  switch (mode_) {
    case Mode::Firmware:
      return "firmware";
    case Mode::Upload:
      return "receiving loader";
    case Mode::BootLoader:
      return "boot loader";
    case Mode::Erasing:
      return "erasing";
    case Mode::Size:
      return "waiting for size";
    case Mode::Blocks:
      return "receiving image";
    case Mode::Crc:
      return "waiting for CRC";
    case Mode::Discard:
      return "transfer failed";
  }
  return "?";
}

void Device::receive(std::span<const std::uint8_t> bytes, Time now) {
  for (std::uint8_t b : bytes) {
    switch (mode_) {
      case Mode::Firmware:
        firmware_byte(b, now);
        break;
      case Mode::Upload:
        upload_byte(b, now);
        break;
      case Mode::BootLoader:
        if (b == 'U' && take_try("U", now)) {
          answer(now, "U", "T");
          start_erase(now);
        } else {
          ++stray_;
        }
        break;
      case Mode::Erasing:
        ++stray_;
        break;
      case Mode::Size:
      case Mode::Blocks:
      case Mode::Crc:
      case Mode::Discard:
        transfer_byte(b, now);
        break;
    }
    last_rx_ = now;
  }
}

void Device::flush_stray(Time now) {
  if (stray_ == 0) return;
  std::size_t n = stray_;
  stray_ = 0;
  log_.log(now, "ignored " + std::to_string(n) + " byte(s) (" + mode_name() + ")");
}

void Device::log(Time now, const std::string& text) {
  flush_stray(now);
  log_.log(now, text);
}

void Device::poll(Time now) {
  if (x_due_ && now >= *x_due_) {
    x_due_.reset();
    answer(now, "image complete", "X");
  }
  if (mode_ == Mode::Erasing && now >= erase_end_) {
    mode_ = Mode::Size;
    size_bytes_ = 0;
    size_ = 0;
    answer(now, "erase done", "V");
  }
}

std::optional<Time> Device::deadline() const {
  if (mode_ == Mode::Erasing) return erase_end_;
  return x_due_;
}

bool Device::take_try(std::string_view key, Time now) {
  if (cfg_.silent) {
    // Heard and logged, but neither answered nor acted on.
    log(now, printable(key) + " -> (fault: silent)");
    return false;
  }
  if (cfg_.answer_after <= 0) return true;
  if (!cfg_.answer_after_cmd.empty() && cfg_.answer_after_cmd != key) return true;
  auto it = tries_.find(key);
  if (it == tries_.end()) {
    if (tries_.size() >= 64) return true;  // junk with endless variants must not grow the table
    it = tries_.emplace(std::string(key), 0).first;
  }
  if (++it->second > cfg_.answer_after) return true;
  log(now, printable(key) + " -> (fault: not answered, try " + std::to_string(it->second) + " of " +
               std::to_string(cfg_.answer_after) + ")");
  return false;
}

void Device::answer(Time now, std::string_view received, std::string_view reply) {
  std::string line = printable(received) + " -> " + printable(reply);
  if (reply.size() == 1) {
    if (cfg_.drop_ack > 0 && (cfg_.drop_ack_char == 0 || cfg_.drop_ack_char == reply[0])) {
      if (++acks_ == cfg_.drop_ack) {
        log(now, line + " (fault: acknowledgement dropped)");
        return;
      }
    }
  }
  log(now, line);
  send_(reply);
}

// ---- firmware: brace commands --------------------------------------------------------------------

void Device::firmware_byte(std::uint8_t b, Time now) {
  if (b == '{') {
    if (in_command_)
      log(now, std::string(1, '{').append(printable(command_)).append(" cut off by a new '{'"));
    in_command_ = true;
    command_.clear();
    command_length_ = 0;
    return;
  }
  if (!in_command_) {
    ++stray_;
    return;
  }
  if (b == '}') {
    in_command_ = false;
    if (command_length_ > kMaxCommand) {
      log(now, "overlong command (" + std::to_string(command_length_) + " bytes) ignored");
      return;
    }
    command(command_, now);
    return;
  }
  ++command_length_;
  if (command_.size() < kMaxCommand) command_ += static_cast<char>(b);
}

void Device::command(std::string_view cmd, Time now) {
  // Built by appending: GCC 12 at -O3 warns falsely about "x" + std::string (a restrict false positive).
  auto enclosed = [](char open, std::string_view t, char close) {
    std::string s;
    s.reserve(t.size() + 2);
    s += open;
    s.append(t);
    s += close;
    return s;
  };
  const std::string received = enclosed('{', cmd, '}');
  auto bracketed = [&](const std::string& t) { return enclosed('[', t, ']'); };
  std::optional<int> new_rate;
  std::string reply;
  if (cmd == "ZA1" || cmd == "ZE1" || cmd == "SEHA1") {
    reply = "^";
  } else if (cmd == "SCPC") {
    reply = bracketed(cfg_.port_type);
  } else if (cmd == "VFSH") {
    reply = bracketed(cfg_.flash_size);
  } else if (cmd == "VC") {
    reply = bracketed(cfg_.vc);
  } else if (cmd == "VW") {
    reply = bracketed(cfg_.vw);
  } else if (cmd == "FT") {
    reply = bracketed(cfg_.ft);
  } else if (is_heap_query(cmd)) {
    reply = bracketed(cfg_.heap);
  } else if (cmd.substr(0, 4) == "SEBX" && (new_rate = supported_rate(cmd.substr(4)))) {
    reply = "^";
  } else if (cmd == "PM") {
    reply = "^";
  } else {
    log(now, printable(received) + " unknown, ignored");
    return;
  }
  if (!take_try(received, now)) return;
  answer(now, received, reply);
  if (new_rate) {
    // The acknowledgement left at the old rate; from here on the UART runs at the new one.
    rate_ = *new_rate;
    log(now, "rate now " + std::to_string(rate_));
  }
  if (cmd == "PM") {
    mode_ = Mode::Upload;
    line_state_ = LineState::Collecting;
    record_.clear();
    records_ok_ = records_bad_ = 0;
  }
}

// ---- loader upload: S-records until the terminating record ---------------------------------------

void Device::upload_byte(std::uint8_t b, Time now) {
  if (b == '{') {
    // Never part of S-record text: the updater has given up on this upload and talks to the firmware.
    log(now, "loader upload abandoned after " + std::to_string(records_ok_ + records_bad_) + " record(s)");
    mode_ = Mode::Firmware;
    firmware_byte(b, now);
    return;
  }
  if (b == '\r' || b == '\n') {
    if (line_state_ == LineState::Collecting && !record_.empty()) end_record(now);
    line_state_ = LineState::Collecting;
    record_.clear();
    return;
  }
  if (line_state_ == LineState::Skipping) return;
  if (line_state_ == LineState::Done) {
    if (b == ' ' || b == '\t') return;
    ++records_bad_;
    log(now, "loader: characters after record " + std::to_string(records_ok_ + records_bad_ - 1));
    line_state_ = LineState::Skipping;
    return;
  }
  record_ += static_cast<char>(b);
  auto check = check_srecord(record_);
  if (check.status == SRecordStatus::Incomplete && record_.size() < kMaxRecord) return;
  end_record(now);
}

void Device::end_record(Time now) {
  auto check = check_srecord(record_);
  line_state_ = check.status == SRecordStatus::Ok ? LineState::Done : LineState::Skipping;
  if (check.status != SRecordStatus::Ok) {
    ++records_bad_;
    if (records_bad_ <= 5)
      log(now,
          std::string("loader: bad record (") + to_string(check.status) + "): " + printable(record_, 40));
    return;
  }
  ++records_ok_;
  if (!check.terminator()) return;
  std::string summary = "loader: " + std::to_string(records_ok_) + " good record(s), " +
                        std::to_string(records_bad_) + " bad, ends with S" + check.type;
  if (records_bad_ > 0) {
    log(now, summary + " -> no Q (loader rejected)");
    mode_ = Mode::Firmware;
    return;
  }
  answer(now, summary, "Q");
  mode_ = Mode::BootLoader;  // the loader now runs and waits for "U"
}

// ---- boot loader: erase and image transfer -------------------------------------------------------

void Device::start_erase(Time now) {
  x_due_.reset();
  mode_ = Mode::Erasing;
  erase_end_ = now + cfg_.erase_time;
  image_.clear();
}

void Device::transfer_byte(std::uint8_t b, Time now) {
  if (b == 'U' && last_rx_ && now - *last_rx_ >= cfg_.resync_gap) {
    long long idle = ms_between(*last_rx_, now);
    if (!take_try("U", now)) return;
    log(now, std::string("U after ") + std::to_string(idle) + " ms of silence while " + mode_name() +
                 ": transfer starts over");
    answer(now, "U", "T");
    start_erase(now);
    return;
  }
  switch (mode_) {
    case Mode::Size: {
      size_ |= static_cast<std::uint32_t>(b) << (8 * size_bytes_);
      if (++size_bytes_ < 4) return;
      std::string what = "size " + std::to_string(size_);
      if (size_ == 0 || size_ > kMaxImageSize) {
        log(now, what + " refused (1 to " + std::to_string(kMaxImageSize) + " bytes) -> no W");
        mode_ = Mode::Discard;
        return;
      }
      mode_ = Mode::Blocks;
      image_.clear();
      image_.reserve(size_);
      full_blocks_ = size_ / kBlockSize;
      blocks_done_ = 0;
      block_fill_ = 0;
      await_marker_ = false;
      answer(now, what, "W");
      return;
    }
    case Mode::Blocks: {
      if (await_marker_) {
        await_marker_ = false;
        std::string what = "block " + std::to_string(blocks_done_ + 1) + "/" + std::to_string(full_blocks_);
        if (b != kBlockMarker) {
          char buf[64];
          std::snprintf(buf, sizeof buf, " marker 0x%02X instead of 0xA5 -> no Z", b);
          log(now, what + buf);
          mode_ = Mode::Discard;
          return;
        }
        ++blocks_done_;
        answer(now, what + " (1000 bytes + A5)", "Z");
        if (image_.size() == size_) {
          // The size was a whole number of blocks: nothing shorter follows, so the X comes on its
          // own. Apart from the Z: the updater takes one answer per read and would lose an X that
          // arrives together with the Z.
          x_due_ = now + kSeparateAnswers;
          mode_ = Mode::Crc;
          crc_bytes_ = 0;
          crc_rx_ = 0;
        }
        return;
      }
      image_.push_back(b);
      if (blocks_done_ < full_blocks_) {
        if (++block_fill_ == kBlockSize) {
          block_fill_ = 0;
          await_marker_ = true;
        }
      } else if (image_.size() == size_) {
        answer(now, "last block (" + std::to_string(size_ % kBlockSize) + " bytes)", "X");
        mode_ = Mode::Crc;
        crc_bytes_ = 0;
        crc_rx_ = 0;
      }
      return;
    }
    case Mode::Crc: {
      crc_rx_ |= static_cast<std::uint16_t>(b << (8 * crc_bytes_));
      if (++crc_bytes_ < 2) return;
      std::uint16_t own = crc16_arc(image_);
      std::string what =
          "CRC " + hex16(crc_rx_) + " (image " + hex16(own) + ", " + std::to_string(size_) + " bytes)";
      mode_ = Mode::BootLoader;
      if (cfg_.bad_crc_once && !crc_fault_used_) {
        crc_fault_used_ = true;
        log(now, what + " -> no Y (fault: CRC check fails once)");
        return;
      }
      if (own != crc_rx_) {
        log(now, what + " -> no Y (mismatch)");
        return;
      }
      answer(now, what, "Y");
      ++confirmations_;
      // Restart into the new firmware; the Y left at the transfer's rate.
      mode_ = Mode::Firmware;
      in_command_ = false;
      rate_ = cfg_.start_rate;
      log(now, "restarted into the new firmware at " + std::to_string(rate_));
      if (confirmed_) confirmed_(image_);
      return;
    }
    default:
      ++stray_;
      return;  // Discard: wait for the updater to start over with "U"
  }
}

}  // namespace sim
