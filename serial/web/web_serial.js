// The calls of serial/web/commos_web.cpp into the lines (web_serial_lines.js): each synchronous, none waits.
var BraeSerialCalls = {
  brae_serial_count: function() {
    return BraeSerial.entries.length;
  },
  brae_serial_present: function(index) {
    var entry = BraeSerial.entries[index];
    return entry && !entry.gone ? 1 : 0;
  },
  // USB vendor and product as (vendor << 16 | product), or -1.
  brae_serial_usb_id: function(index) {
    var entry = BraeSerial.entries[index];
    var info = entry && typeof entry.port.getInfo === 'function' ? entry.port.getInfo() : {};
    if (info.usbVendorId === undefined || info.usbProductId === undefined) return -1;
    return ((info.usbVendorId & 0xffff) << 16) | (info.usbProductId & 0xffff);
  },
  // A line id (> 0); -1: no such port; -2: open already in this page.
  brae_serial_open: function(index, baud, dataBits, stopBits, parity, hardware) {
    var entry = BraeSerial.entries[index];
    if (!entry) return -1;
    for (var id in BraeSerial.lines) {
      if (BraeSerial.lines[id].entry === entry) return -2;
    }
    var line = {
      id: BraeSerial.nextId++, entry: entry, state: 'opening', kind: 0, reason: '', gen: 0,
      want: {baudRate: baud, dataBits: dataBits, stopBits: stopBits === 2 ? 2 : 1,
             parity: BraeSerial.parity[parity] || 'none', flowControl: hardware ? 'hardware' : 'none'},
      opts: null, reader: null, writer: null, readEnded: null, closing: false, reopening: false,
      rx: [], rxQueued: 0, out: [], outQueued: 0, inFlight: 0, writing: false, settled: null,
      lineFreeAt: 0, outX: false, xon: 17, xoff: 19, held: false, lineErrors: 0,
      dtr: true, rts: true, signals: 1, signalsText: ''
    };
    BraeSerial.lines[line.id] = line;
    // Settings that came while the port was opening take effect by a reopen.
    BraeSerial.openPort(line).then(function() {
      if (line.state === 'open' && !line.reopening && !BraeSerial.same(line.opts, line.want)) BraeSerial.reopen(line);
    });
    return line.id;
  },
  // 0 opening, 1 open, 2 failed, 3 gone, 4 no such line.
  brae_serial_state: function(id) {
    var line = BraeSerial.line(id);
    if (!line) return 4;
    return {opening: 0, open: 1, failed: 2, gone: 3}[line.state];
  },
  // The failure's text into buf (UTF-8, at most size bytes with its NUL); returns its ErrorKind code.
  brae_serial_reason: function(id, buf, size) {
    var line = BraeSerial.line(id);
    stringToUTF8(line ? line.reason : 'no such line', buf, size);
    return line ? line.kind : BraeSerial.KIND.Other;
  },
  // The line is not wanted any more: its output is dropped, and the port closed (also an open still going on,
  // once it ends). The next open of the port waits for this close.
  brae_serial_close: function(id) {
    var line = BraeSerial.line(id);
    if (!line) return;
    delete BraeSerial.lines[id];
    var wasOpen = line.state === 'open' || line.state === 'gone';
    line.state = 'closed';
    line.out = [];
    if (wasOpen) BraeSerial.closeAfter(line);
  },
  brae_serial_configure: function(id, baud, dataBits, stopBits, parity, hardware, outX, xon, xoff, dtr, rts) {
    var line = BraeSerial.line(id);
    if (!line) return 0;
    line.want = {baudRate: baud, dataBits: dataBits, stopBits: stopBits === 2 ? 2 : 1,
                 parity: BraeSerial.parity[parity] || 'none', flowControl: hardware ? 'hardware' : 'none'};
    var wasOutX = line.outX;
    line.outX = !!outX;
    line.xon = xon;
    line.xoff = xoff;
    if (!line.outX && wasOutX && line.held) {
      line.held = false;
      BraeSerial.pump(line);
    }
    var lines = line.dtr !== !!dtr || line.rts !== !!rts;
    line.dtr = !!dtr;
    line.rts = !!rts;
    if (line.state === 'open' && !line.reopening && line.opts) {
      if (!BraeSerial.same(line.opts, line.want)) {
        BraeSerial.reopen(line);
      } else if (lines) {
        BraeSerial.applySignals(line);
      }
    }
    return 1;
  },
  // Sets DTR and RTS (an open still going on sets them when it ends); brae_serial_signals_result tells.
  brae_serial_signals: function(id, dtr, rts) {
    var line = BraeSerial.line(id);
    if (!line) return;
    line.dtr = !!dtr;
    line.rts = !!rts;
    if (line.state === 'open' && !line.reopening && line.writer) {
      BraeSerial.applySignals(line);
    } else {
      line.signals = 1;  // set when the open ends, as asked
    }
  },
  // 0 still being set, 1 set, -1 refused (its text into buf).
  brae_serial_signals_result: function(id, buf, size) {
    var line = BraeSerial.line(id);
    if (!line) return -1;
    if (line.signals < 0) stringToUTF8(line.signalsText, buf, size);
    return line.signals;
  },
  brae_serial_read: function(id, ptr, count) {
    var line = BraeSerial.line(id);
    var n = 0;
    while (line && n < count && line.rx.length) {
      var chunk = line.rx[0], take = Math.min(chunk.length, count - n);
      HEAPU8.set(chunk.subarray(0, take), ptr + n);
      n += take;
      if (take === chunk.length) {
        line.rx.shift();
      } else {
        line.rx[0] = chunk.subarray(take);
      }
    }
    if (line) line.rxQueued -= n;
    return n;
  },
  brae_serial_queued: function(id) {
    var line = BraeSerial.line(id);
    return line ? line.rxQueued : 0;
  },
  brae_serial_purge_rx: function(id) {
    var line = BraeSerial.line(id);
    if (!line) return;
    line.rx = [];
    line.rxQueued = 0;
  },
  brae_serial_write: function(id, ptr, count) {
    var line = BraeSerial.line(id);
    if (!line || line.state === 'gone' || line.state === 'failed') return 0;
    line.out.push(HEAPU8.slice(ptr, ptr + count));
    line.outQueued += count;
    BraeSerial.pump(line);
    return 1;
  },
  // Bytes written and not yet taken by the browser (queued here, or in the write it is doing).
  brae_serial_unsent: function(id) {
    var line = BraeSerial.line(id);
    return line ? line.outQueued : 0;
  },
  // Drops what has not been handed to the browser yet; returns how many bytes.
  brae_serial_drop_unsent: function(id) {
    var line = BraeSerial.line(id);
    if (!line) return 0;
    var dropped = line.outQueued - line.inFlight;
    line.out = [];
    line.outQueued = line.inFlight;
    return dropped;
  },
  // The CE_ bits of line errors since the last call.
  brae_serial_take_line_errors: function(id) {
    var line = BraeSerial.line(id);
    if (!line) return 0;
    var bits = line.lineErrors;
    line.lineErrors = 0;
    return bits;
  },
};
for (var name in BraeSerialCalls) {
  if (name.indexOf('__') < 0) BraeSerialCalls[name + '__deps'] = ['$BraeSerial'];
}
mergeInto(LibraryManager.library, BraeSerialCalls);
