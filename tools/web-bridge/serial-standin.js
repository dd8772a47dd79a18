// Test-only: navigator.serial for a headless browser that lists no pseudo-terminal and shows no chooser.
// Injected by a test before the page's own scripts, never shipped. Each port is carried by bridge.mjs over a
// WebSocket to a pty with a simulated indicator behind it.
//
// Configuration, set before this runs (bridge.mjs's standinSource() writes it):
//   globalThis.__braeSerialStandin = {
//     url: 'ws://127.0.0.1:PORT',          // the bridge
//     ports: [{name: 'com1', usbVendorId: 0x0403, usbProductId: 0x6001, granted: false}, ...],
//     requireUserActivation: true,         // requestPort() outside a user gesture is a SecurityError
//     replyTimeoutMs: 5000,                // bound on each answer the bridge owes (open, close, signals)
//   };
// A port with granted: true is listed by getPorts() from the start, as one the page was given earlier.
// What the real one does and this follows: open() rejects an open port (InvalidStateError); close() rejects
// while a stream is locked (TypeError) and leaves the port open; a write resolves once its last byte is in
// the line's 16-byte transmit FIFO (the bridge times it); an unplugged port's streams fail with NetworkError
// and a replugged one is a new SerialPort object with the same getInfo().
(() => {
  'use strict';
  const config = globalThis.__braeSerialStandin;
  if (!config || typeof config.url !== 'string' || !Array.isArray(config.ports)) {
    console.error('serial stand-in: globalThis.__braeSerialStandin is missing or has no url and ports');
    return;
  }
  const replyTimeoutMs = config.replyTimeoutMs ?? 5000;
  const requireActivation = config.requireUserActivation !== false;
  const MAX_BUFFER = 16 * 1024 * 1024;
  const REQUEST = "Failed to execute 'requestPort' on 'Serial':";
  const dom = (name, message) => new DOMException(message, name);
  const lost = () => dom('NetworkError', 'The device has been lost.');

  // Dispatches a new event at `target` whose `target` reads as `port`: the real events are fired at the port
  // and bubble to navigator.serial, which a plain EventTarget cannot do.
  function fire(target, type, port) {
    const event = new Event(type, { bubbles: true });
    Object.defineProperty(event, 'target', { value: port });
    target.dispatchEvent(event);
  }

  // onconnect / ondisconnect as attributes, beside addEventListener.
  function eventAttributes(proto, types) {
    for (const type of types) {
      const slot = Symbol(type);
      Object.defineProperty(proto, `on${type}`, {
        configurable: true,
        get() {
          return this[slot]?.handler ?? null;
        },
        set(handler) {
          if (this[slot]) this.removeEventListener(type, this[slot].listener);
          this[slot] = null;
          if (typeof handler !== 'function') return;
          const listener = (e) => handler.call(this, e);
          this[slot] = { handler, listener };
          this.addEventListener(type, listener);
        },
      });
    }
  }

  function withBound(promise, ms, onTimeout) {
    let timer;
    const bound = new Promise((_, reject) => {
      timer = setTimeout(() => reject(onTimeout()), ms);
    });
    return Promise.race([promise, bound]).finally(() => clearTimeout(timer));
  }

  function checkOptions(o) {
    const fail = (m) => {
      throw new TypeError(`Failed to execute 'open' on 'SerialPort': ${m}`);
    };
    if (o === null || typeof o !== 'object') fail('1 argument required, but only 0 present.');
    if (o.baudRate === undefined) fail('required member baudRate is undefined.');
    const s = {
      baudRate: Number(o.baudRate),
      dataBits: o.dataBits === undefined ? 8 : Number(o.dataBits),
      stopBits: o.stopBits === undefined ? 1 : Number(o.stopBits),
      parity: o.parity ?? 'none',
      bufferSize: o.bufferSize === undefined ? 255 : Number(o.bufferSize),
      flowControl: o.flowControl ?? 'none',
    };
    if (!(s.baudRate > 0)) fail('Requested baud rate must be greater than zero.');
    if (s.dataBits !== 7 && s.dataBits !== 8) fail('Requested number of data bits must be 7 or 8.');
    if (s.stopBits !== 1 && s.stopBits !== 2) fail('Requested number of stop bits must be 1 or 2.');
    if (!(s.bufferSize > 0)) fail('Requested buffer size must be greater than zero.');
    if (s.bufferSize > MAX_BUFFER)
      fail(`Requested buffer size (${s.bufferSize} bytes) is greater than the maximum.`);
    if (!['none', 'even', 'odd'].includes(s.parity))
      fail(`The provided value '${s.parity}' is not a ParityType.`);
    if (!['none', 'hardware'].includes(s.flowControl)) {
      fail(`The provided value '${s.flowControl}' is not a FlowControlType.`);
    }
    return s;
  }

  let serial;

  class SerialPort extends EventTarget {
    #entry;
    #state = 'closed'; // closed, opening, open, closing
    #gone = false; // unplugged or forgotten: this object is done for
    #fatal = false; // the streams failed for good while open
    #ws = null;
    #settings = null;
    #readable = null;
    #readCtl = null;
    #rx = []; // bytes arrived while no readable was taken
    #writable = null;
    #writeCtl = null;
    #acks = []; // writes sent, waiting for the bridge to say they are on the line
    #replies = new Map();
    #nextId = 1;

    constructor(entry) {
      super();
      this.#entry = entry;
    }

    get connected() {
      return !this.#gone && this.#entry.present;
    }

    getInfo() {
      const { usbVendorId, usbProductId } = this.#entry.cfg;
      return usbVendorId === undefined ? {} : { usbVendorId, usbProductId };
    }

    async open(options) {
      if (this.#state === 'opening')
        throw dom('InvalidStateError', 'A call to open() is already in progress.');
      if (this.#state !== 'closed') throw dom('InvalidStateError', 'The port is already open.');
      const s = checkOptions(options);
      if (this.#gone || !this.#entry.present) throw dom('NetworkError', 'Failed to open serial port.');
      this.#state = 'opening';
      const q = new URLSearchParams({
        baudRate: s.baudRate,
        dataBits: s.dataBits,
        stopBits: s.stopBits,
        parity: s.parity,
        flowControl: s.flowControl,
      });
      let ws;
      try {
        ws = new WebSocket(`${config.url}/port/${encodeURIComponent(this.#entry.cfg.name)}?${q}`);
        ws.binaryType = 'arraybuffer';
        await withBound(
          new Promise((resolve, reject) => {
            ws.onmessage = (e) => {
              const m = typeof e.data === 'string' ? JSON.parse(e.data) : null;
              if (m?.type === 'opened') return resolve();
              console.warn(`serial stand-in: ${this.#entry.cfg.name} refused: ${m?.detail}`);
              reject(dom(m?.name ?? 'NetworkError', 'Failed to open serial port.'));
            };
            // A page whose Content-Security-Policy forbids the bridge gets an error and, in Chromium, no
            // close: the test must bypass the policy.
            ws.onerror = ws.onclose = (e) => {
              const why = e.type === 'close' ? `closed (${e.code})` : 'refused; is the CSP bypassed?';
              console.warn(`serial stand-in: the bridge for ${this.#entry.cfg.name}: ${why}`);
              reject(dom('NetworkError', 'Failed to open serial port.'));
            };
          }),
          replyTimeoutMs,
          () => dom('NetworkError', 'Failed to open serial port.'),
        );
      } catch (err) {
        ws?.close();
        this.#state = 'closed';
        throw err;
      }
      this.#ws = ws;
      this.#settings = s;
      this.#fatal = false;
      this.#rx = [];
      this.#state = 'open';
      ws.onmessage = (e) => this.#message(e.data);
      ws.onerror = null;
      ws.onclose = () => this.#ws === ws && this.#fail();
    }

    #message(data) {
      if (typeof data !== 'string') return this.#received(new Uint8Array(data));
      const m = JSON.parse(data);
      if (m.type === 'written') this.#acks.shift()?.resolve();
      if (m.type === 'reply') {
        this.#replies.get(m.id)?.resolve(m);
        this.#replies.delete(m.id);
      }
    }

    // Handed on in pieces of at most bufferSize, as the real one reads.
    #received(bytes) {
      for (let i = 0; i < bytes.length; i += this.#settings.bufferSize) {
        const piece = bytes.slice(i, i + this.#settings.bufferSize);
        if (this.#readCtl) this.#readCtl.enqueue(piece);
        else this.#rx.push(piece);
      }
    }

    get readable() {
      if (this.#readable) return this.#readable;
      if (this.#state !== 'open' || this.#fatal) return null;
      const stream = new ReadableStream({
        type: 'bytes',
        start: (ctl) => {
          this.#readCtl = ctl;
          for (const piece of this.#rx.splice(0)) ctl.enqueue(piece);
        },
        // A cancelled readable drops what was received and not read; the next one starts empty.
        cancel: () => {
          if (this.#readable !== stream) return;
          this.#readable = null;
          this.#readCtl = null;
          this.#rx = [];
        },
      });
      this.#readable = stream;
      return stream;
    }

    get writable() {
      if (this.#writable) return this.#writable;
      if (this.#state !== 'open' || this.#fatal) return null;
      const done = () => {
        if (this.#writable === stream) this.#writable = null;
      };
      const stream = new WritableStream(
        {
          start: (ctl) => {
            this.#writeCtl = ctl;
          },
          write: (chunk) => this.#write(chunk),
          close: done,
          abort: done,
        },
        new ByteLengthQueuingStrategy({ highWaterMark: this.#settings.bufferSize }),
      );
      this.#writable = stream;
      return stream;
    }

    #write(chunk) {
      let bytes;
      if (chunk instanceof ArrayBuffer) bytes = new Uint8Array(chunk.slice(0));
      else if (ArrayBuffer.isView(chunk))
        bytes = new Uint8Array(chunk.buffer.slice(chunk.byteOffset, chunk.byteOffset + chunk.byteLength));
      else return Promise.reject(new TypeError('Can only write ArrayBuffer or ArrayBufferView chunks.'));
      if (this.#fatal || !this.#ws) return Promise.reject(lost());
      return new Promise((resolve, reject) => {
        this.#acks.push({ resolve, reject });
        this.#ws.send(bytes);
      });
    }

    // One question to the bridge, bounded.
    #ask(message, error) {
      if (this.#state !== 'open') return Promise.reject(dom('InvalidStateError', 'The port is closed.'));
      if (this.#fatal || !this.#ws) return Promise.reject(dom('NetworkError', error));
      const id = this.#nextId++;
      const answer = new Promise((resolve, reject) => this.#replies.set(id, { resolve, reject }));
      this.#ws.send(JSON.stringify({ ...message, id }));
      return withBound(answer, replyTimeoutMs, () => {
        this.#replies.delete(id);
        return dom('NetworkError', error);
      });
    }

    async setSignals(signals = {}) {
      const known = ['dataTerminalReady', 'requestToSend', 'break'].filter((k) => signals[k] !== undefined);
      if (!known.length)
        throw new TypeError("Failed to execute 'setSignals' on 'SerialPort': Signals dictionary is empty.");
      const set = Object.fromEntries(known.map((k) => [k, Boolean(signals[k])]));
      await this.#ask({ type: 'setSignals', signals: set }, 'Failed to set control signals.');
    }

    async getSignals() {
      return (await this.#ask({ type: 'getSignals' }, 'Failed to get control signals.')).signals;
    }

    async close() {
      if (this.#state === 'closed' || this.#state === 'opening')
        throw dom('InvalidStateError', 'The port is already closed.');
      if (this.#state === 'closing')
        throw dom('InvalidStateError', 'A call to close() is already in progress.');
      // The real close() cancels the readable and aborts the writable, which a locked stream refuses.
      if (this.#readable?.locked) throw new TypeError('Cannot cancel a locked stream');
      if (this.#writable?.locked) throw new TypeError('Cannot abort a locked stream');
      this.#state = 'closing';
      try {
        await this.#readable?.cancel();
        await this.#writable?.abort(dom('InvalidStateError', 'The port is closing.'));
        if (!this.#fatal && this.#ws) {
          await this.#ask({ type: 'close' }, 'Failed to close serial port.').catch(() => {});
        }
      } finally {
        this.#release();
        this.#state = 'closed';
      }
    }

    async forget() {
      if (this.#state === 'open') {
        this.#fail();
        this.#release();
        this.#state = 'closed';
      }
      this.#gone = true;
      this.#entry.granted = false;
      if (this.#entry.port === this) this.#entry.port = null;
    }

    #release() {
      const ws = this.#ws;
      this.#ws = null;
      if (ws) {
        ws.onclose = null;
        ws.close(1000);
      }
      this.#readable = this.#writable = this.#readCtl = this.#writeCtl = null;
      this.#rx = [];
    }

    // The line is gone (unplugged, or the bridge went away): the streams fail, the port stays open until
    // the page closes it.
    #fail() {
      if (this.#fatal) return;
      this.#fatal = true;
      const err = lost();
      for (const ctl of [this.#readCtl, this.#writeCtl]) {
        try {
          ctl?.error(err);
        } catch {}
      }
      for (const a of this.#acks.splice(0)) a.reject(err);
      for (const r of this.#replies.values()) r.reject(err);
      this.#replies.clear();
      this.#readable = this.#writable = this.#readCtl = this.#writeCtl = null;
      const ws = this.#ws;
      if (ws) {
        ws.onclose = null;
        ws.close();
      }
    }

    // Called by Serial when the bridge says the port vanished.
    unplugged() {
      this.#gone = true;
      if (this.#state === 'open') this.#fail();
    }
  }
  eventAttributes(SerialPort.prototype, ['connect', 'disconnect']);
  const unplugged = SerialPort.prototype.unplugged;
  delete SerialPort.prototype.unplugged;

  class Serial extends EventTarget {
    #entries = config.ports.map((cfg) => ({ cfg, present: true, granted: Boolean(cfg.granted), port: null }));

    constructor() {
      super();
      this.#listen();
    }

    #portOf(entry) {
      entry.port ??= new SerialPort(entry);
      return entry.port;
    }

    async getPorts() {
      return this.#entries.filter((e) => e.granted && e.present).map((e) => this.#portOf(e));
    }

    // The next configured port that the filters let through, not yet given to the page; else the first given.
    async requestPort(options = {}) {
      if (requireActivation && !navigator.userActivation?.isActive) {
        throw dom(
          'SecurityError',
          `${REQUEST} Must be handling a user gesture to show a permission request.`,
        );
      }
      const filters = options.filters ?? [];
      for (const f of filters) {
        if (
          f.usbVendorId === undefined &&
          f.usbProductId === undefined &&
          f.bluetoothServiceClassId === undefined
        ) {
          throw new TypeError(
            `${REQUEST} A filter must provide a property to filter by.`,
          );
        }
        if (f.usbProductId !== undefined && f.usbVendorId === undefined) {
          throw new TypeError(
            `${REQUEST} A filter containing a usbProductId must also specify a usbVendorId.`,
          );
        }
      }
      const fits = (e) =>
        e.present &&
        (!filters.length ||
          filters.some(
            (f) =>
              f.usbVendorId === e.cfg.usbVendorId &&
              (f.usbProductId === undefined || f.usbProductId === e.cfg.usbProductId),
          ));
      const entry = this.#entries.find((e) => fits(e) && !e.granted) ?? this.#entries.find(fits);
      if (!entry) throw dom('NotFoundError', 'No port selected by the user.');
      entry.granted = true;
      return this.#portOf(entry);
    }

    // Plugging and unplugging, as the bridge tells it.
    #listen() {
      let ws;
      try {
        ws = new WebSocket(`${config.url}/control`);
      } catch (err) {
        console.warn(`serial stand-in: the page forbids ${config.url}: ${err.message}`);
        return;
      }
      ws.onerror = () => console.warn(`serial stand-in: no control line to ${config.url}`);
      ws.onmessage = (e) => {
        const m = JSON.parse(e.data);
        if (m.type === 'hello') {
          for (const entry of this.#entries) entry.present = m.present[entry.cfg.name] ?? entry.present;
          return;
        }
        const entry = this.#entries.find((x) => x.cfg.name === m.port);
        if (!entry) return;
        if (m.type === 'disconnect' && entry.present) {
          entry.present = false;
          const port = entry.port;
          entry.port = null;
          if (!port) return;
          unplugged.call(port);
          if (entry.granted) {
            fire(port, 'disconnect', port);
            fire(this, 'disconnect', port);
          }
        } else if (m.type === 'connect' && !entry.present) {
          entry.present = true;
          if (!entry.granted) return;
          const port = this.#portOf(entry);
          fire(this, 'connect', port);
        }
      };
    }
  }
  eventAttributes(Serial.prototype, ['connect', 'disconnect']);

  serial = new Serial();
  Object.defineProperty(Navigator.prototype, 'serial', {
    configurable: true,
    enumerable: true,
    get: () => serial,
  });
  globalThis.Serial = Serial;
  globalThis.SerialPort = SerialPort;
})();
