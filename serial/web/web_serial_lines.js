// The lines of the serial layer in the page, over Web Serial: the ports the page may use, and for each open
// line its open, its reading, its writing (with XON/XOFF obeyed here: Web Serial has none), its reopen for
// new settings and its close. What the browser does (an open's end, bytes read, a write's end, an unplug)
// is kept here and ends the program's wait (BraeWait.rouse, Module.braeRouse). Every awaited browser call
// has its own bound, except a read waiting for bytes, which a bounded cancel ends. The program's calls are in
// web_serial.js.
//
// For the page: Module.braeSerialAdd(port) gives a granted SerialPort (from navigator.serial.requestPort() or
// getPorts()) to the program and returns N, its name "web:N" (the same port again: its first N). "ComN" is
// web:(N-1). Module.braeSerialPorts is the list, in that order; an adapter plugged in again comes back as a
// new SerialPort, added by itself from navigator.serial's 'connect' event.
mergeInto(LibraryManager.library, {
  $BraeSerial__deps: ['$BraeWait'],
  $BraeSerial: {
    OPEN_MS: 3000,
    CLOSE_MS: 2000,
    CANCEL_MS: 1000,
    SIGNALS_MS: 1000,
    WRITE_MS: 3000,  // beyond the bytes' own line time
    XON_PIECE: 64,   // with XON/XOFF, what is handed to the browser at a time: a hold stops the rest
    // ErrorKind as serial/web/os_error.cpp reads it.
    KIND: {Missing: 1, Busy: 2, Denied: 3, Gone: 4, Other: 5},
    // Line errors that leave the port usable, as ClearCommError's CE_ bits.
    LINE_ERRORS: {BreakError: 0x10, FramingError: 0x08, ParityError: 0x04, BufferOverrunError: 0x02},

    entries: [],  // {port, gone}: web:N is entries[N]
    lines: {},    // open lines by id
    nextId: 1,

    add: function(port) {
      for (var i = 0; i < BraeSerial.entries.length; ++i) {
        if (BraeSerial.entries[i].port === port) return i;
      }
      var entry = {port: port, gone: false, closing: null};
      var lost = function() {
        entry.gone = true;
        for (var id in BraeSerial.lines) {
          var line = BraeSerial.lines[id];
          if (line.entry === entry) BraeSerial.lose(line, 'the port was disconnected');
        }
        BraeWait.rouse();
      };
      if (typeof port.addEventListener === 'function') port.addEventListener('disconnect', lost);
      BraeSerial.entries.push(entry);
      Module['braeSerialPorts'].push(port);
      BraeWait.rouse();
      return BraeSerial.entries.length - 1;
    },

    // `promise`, or a rejection with a TimeoutError once `ms` have passed.
    bounded: function(promise, ms, what) {
      var timer;
      var late = new Promise(function(resolve, reject) {
        timer = setTimeout(function() {
          var e = new Error('the browser did not finish ' + what + ' within ' + (ms / 1000) + ' s');
          e.name = 'TimeoutError';
          reject(e);
        }, ms);
      });
      return Promise.race([Promise.resolve(promise), late]).finally(function() {
        clearTimeout(timer);
      });
    },
    pause: function(ms) {
      return new Promise(function(resolve) {
        setTimeout(resolve, ms);
      });
    },

    kindOf: function(e) {
      var K = BraeSerial.KIND;
      switch (e && e.name) {
        case 'NotFoundError':
          return K.Missing;
        case 'InvalidStateError':  // open already, in this page
        case 'NetworkError':       // the system refused the open: another program holds the port
          return K.Busy;
        case 'SecurityError':
        case 'NotAllowedError':
          return K.Denied;
        default:
          return K.Other;
      }
    },
    fail: function(line, e, what) {
      line.state = 'failed';
      line.kind = BraeSerial.kindOf(e);
      line.reason = what + ': ' + ((e && e.message) || String(e));
      BraeWait.rouse();
    },
    // The port has gone: reported once by the program; what was not written is dropped.
    lose: function(line, why) {
      if (line.state === 'closed' || line.state === 'gone' || line.state === 'failed') return;
      line.state = 'gone';
      line.kind = BraeSerial.KIND.Gone;
      line.reason = why;
      line.out = [];
      line.outQueued = line.inFlight;
      BraeWait.rouse();
    },

    options: function(o) {
      return {
        baudRate: o.baudRate,
        dataBits: o.dataBits,
        stopBits: o.stopBits,
        parity: o.parity,
        flowControl: o.flowControl,
        bufferSize: 16384
      };
    },
    same: function(a, b) {
      return a.baudRate === b.baudRate && a.dataBits === b.dataBits && a.stopBits === b.stopBits &&
          a.parity === b.parity && a.flowControl === b.flowControl;
    },

    // Opens the port with line.want, then reads, writes and sets its lines. A close before the end finds the
    // port closed again.
    openPort: function(line) {
      var entry = line.entry, port = entry.port;
      var before = entry.closing || Promise.resolve();
      var opened = before.then(function() {
        if (line.state === 'closed') return Promise.reject(null);
        line.opts = line.want;
        return BraeSerial.bounded(port.open(BraeSerial.options(line.opts)), BraeSerial.OPEN_MS, 'the open');
      });
      return opened.then(function() {
        if (line.state === 'closed') return BraeSerial.closeAfter(line);
        line.gen += 1;
        BraeSerial.readLoop(line, line.gen);
        line.writer = port.writable.getWriter();
        if (line.state === 'opening') line.state = 'open';
        BraeSerial.applySignals(line);
        BraeSerial.pump(line);
        BraeWait.rouse();
      }, function(e) {
        if (e === null) return;
        // An open that ended after its bound has left the port open: close it again.
        if (e.name === 'TimeoutError') {
          opened.then(function() {
            BraeSerial.bounded(port.close(), BraeSerial.CLOSE_MS, 'a late close').catch(function() {});
          }, function() {});
        }
        if (line.state === 'opening') {
          BraeSerial.fail(line, e, 'open');
        } else {
          BraeSerial.lose(line, 'the port did not open again: ' + e.message);
        }
      });
    },

    readLoop: function(line, gen) {
      var port = line.entry.port;
      var reader;
      try {
        reader = port.readable.getReader();
      } catch (e) {
        BraeSerial.lose(line, 'the port cannot be read: ' + e.message);
        return;
      }
      line.reader = reader;
      line.readEnded = new Promise(function(resolve) {
        var step = function() {
          reader.read().then(function(r) {
            if (r.done) {
              finish(null);
              return;
            }
            if (r.value && r.value.length) BraeSerial.received(line, r.value);
            step();
          }, finish);
        };
        var finish = function(e) {
          try {
            reader.releaseLock();
          } catch (ignored) {
          }
          line.reader = null;
          resolve();
          if (line.closing || gen !== line.gen || line.state === 'closed') return;
          var bit = e && BraeSerial.LINE_ERRORS[e.name];
          if (bit && port.readable) {
            // A break, a framing or parity error, an overrun: told, and the line read on.
            line.lineErrors |= bit;
            BraeWait.rouse();
            BraeSerial.readLoop(line, gen);
            return;
          }
          BraeSerial.lose(line, e ? 'reading failed: ' + e.message : 'the port stopped delivering bytes');
        };
        step();
      });
    },

    // Bytes from the line. With XON/XOFF obeyed, XOFF holds our output until XON, and neither is data.
    received: function(line, bytes) {
      if (line.outX) {
        var kept = new Uint8Array(bytes.length), n = 0, wasHeld = line.held;
        for (var i = 0; i < bytes.length; ++i) {
          var b = bytes[i];
          if (b === line.xoff) {
            line.held = true;
          } else if (b === line.xon) {
            line.held = false;
          } else {
            kept[n++] = b;
          }
        }
        if (wasHeld && !line.held) BraeSerial.pump(line);
        bytes = kept.subarray(0, n);
      }
      if (bytes.length) {
        line.rx.push(bytes);
        line.rxQueued += bytes.length;
      }
      BraeWait.rouse();
    },

    // Hands the next piece of output to the browser, one write at a time.
    pump: function(line) {
      if (line.writing || line.state !== 'open' || line.reopening || line.held || !line.writer ||
          !line.out.length) {
        return;
      }
      var chunk = line.out[0];
      var piece = chunk;
      if (line.outX && chunk.length > BraeSerial.XON_PIECE) {
        piece = chunk.subarray(0, BraeSerial.XON_PIECE);
        line.out[0] = chunk.subarray(BraeSerial.XON_PIECE);
      } else {
        line.out.shift();
      }
      line.writing = true;
      line.inFlight = piece.length;
      var gen = line.gen;
      var lineMs = piece.length * 10000 / line.opts.baudRate;
      BraeSerial.bounded(line.writer.write(piece), BraeSerial.WRITE_MS + 2 * lineMs, 'a write of ' + piece.length + ' bytes')
          .then(function() {
            line.writing = false;
            line.inFlight = 0;
            line.outQueued -= piece.length;
            var now = performance.now();
            line.lineFreeAt = Math.max(now, line.lineFreeAt) + lineMs;
            BraeWait.rouse();
            if (line.settled) line.settled();
            BraeSerial.pump(line);
          }, function(e) {
            line.writing = false;
            line.inFlight = 0;
            if (line.settled) line.settled();
            if (gen === line.gen && line.state !== 'closed') BraeSerial.lose(line, 'writing failed: ' + e.message);
          });
    },
    // Resolves once no write is with the browser.
    writesSettled: function(line) {
      if (!line.writing) return Promise.resolve();
      return new Promise(function(resolve) {
        line.settled = function() {
          line.settled = null;
          resolve();
        };
      });
    },

    applySignals: function(line) {
      var port = line.entry.port, want = {dataTerminalReady: line.dtr, requestToSend: line.rts};
      if (line.opts && line.opts.flowControl === 'hardware') delete want.requestToSend;
      line.signals = 0;
      BraeSerial.bounded(port.setSignals(want), BraeSerial.SIGNALS_MS, 'setting the modem lines')
          .then(function() {
            line.signals = 1;
            BraeWait.rouse();
          }, function(e) {
            line.signals = -1;
            line.signalsText = e.message;
            BraeWait.rouse();
          });
    },

    // Ends reading and writing and closes the port; resolves in any case, within the bounds.
    closePort: function(line) {
      var port = line.entry.port;
      line.closing = true;
      var reading = line.readEnded || Promise.resolve();
      var cancel = line.reader ? BraeSerial.bounded(line.reader.cancel(), BraeSerial.CANCEL_MS, 'ending the read')
                               : Promise.resolve();
      return cancel.catch(function() {})
          .then(function() {
            return BraeSerial.bounded(reading, BraeSerial.CANCEL_MS, 'ending the read').catch(function() {});
          })
          .then(function() {
            if (line.writer) {
              try {
                line.writer.releaseLock();
              } catch (ignored) {
              }
              line.writer = null;
            }
            return BraeSerial.bounded(port.close(), BraeSerial.CLOSE_MS, 'the close');
          })
          .then(function() {
            line.closing = false;
          }, function(e) {
            line.closing = false;
            throw e;
          });
    },

    // Another rate or framing: Web Serial sets them only at open, so the port is closed and opened again,
    // once the bytes already written have had their line time at the old rate.
    reopen: function(line) {
      line.reopening = true;
      BraeSerial.writesSettled(line)
          .then(function() {
            return BraeSerial.pause(Math.max(0, line.lineFreeAt - performance.now()));
          })
          .then(function() {
            if (line.state !== 'open') return Promise.reject(null);
            return BraeSerial.closePort(line);
          })
          .then(function() {
            line.reopening = false;
            if (line.state !== 'open') return;
            line.state = 'open';
            return BraeSerial.openPort(line);
          }, function(e) {
            line.reopening = false;
            if (e !== null) BraeSerial.lose(line, 'the port did not close for its new settings: ' + e.message);
          })
          .then(function() {
            if (line.state === 'open' && !BraeSerial.same(line.opts, line.want)) BraeSerial.reopen(line);
          });
    },

    // Closes an abandoned line's port; the next open of that port waits for it.
    closeAfter: function(line) {
      var entry = line.entry;
      var closing = BraeSerial.closePort(line).catch(function() {}).then(function() {
        if (entry.closing === closing) entry.closing = null;
      });
      entry.closing = closing;
      return closing;
    },

    line: function(id) {
      return BraeSerial.lines[id] || null;
    },
    parity: ['none', 'odd', 'even'],
  },
  $BraeSerial__postset: 'Module["braeSerialPorts"] = [];' +
      'Module["braeSerialAdd"] = function(port) { return BraeSerial.add(port); };' +
      'if (typeof navigator !== "undefined" && navigator.serial && navigator.serial.addEventListener) {' +
      '  navigator.serial.addEventListener("connect", function(e) { BraeSerial.add(e.target); });' +
      '}',
});
