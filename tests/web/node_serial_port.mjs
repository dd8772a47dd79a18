// A test-only stand-in for the browser's SerialPort under Node, over a real serial device (a pseudo-terminal
// with the simulated indicator behind it) through @serialport/bindings-cpp: the calls and streams of Web
// Serial that serial/web uses, with their shapes (open with a rate, readable/writable, setSignals, close
// that needs both streams unlocked, a 'disconnect' event when the device goes). Never shipped.
export class NodeSerialPort extends EventTarget {
  constructor(path, binding) {
    super();
    this.path = path;
    this.binding = binding;
    this.port = null;
    this.readable = null;
    this.writable = null;
  }

  getInfo() {
    return {};
  }

  async open(options) {
    if (this.port) throw new DOMException('The port is already open.', 'InvalidStateError');
    try {
      this.port = await this.binding.open({
        path: this.path, baudRate: options.baudRate, dataBits: options.dataBits, stopBits: options.stopBits,
        parity: options.parity, rtscts: options.flowControl === 'hardware'
      });
    } catch (e) {
      throw new DOMException('Failed to open serial port.', 'NetworkError');
    }
    const port = this.port;
    let closing = false;
    this.readable = new ReadableStream({
      pull: async (controller) => {
        const buffer = Buffer.alloc(4096);
        try {
          const {bytesRead} = await port.read(buffer, 0, buffer.length);
          if (bytesRead > 0) controller.enqueue(new Uint8Array(buffer.subarray(0, bytesRead)));
        } catch (e) {
          if (closing || !this.port) return;
          this.readable = null;
          controller.error(new DOMException('The device has been lost.', 'NetworkError'));
          this.dispatchEvent(new Event('disconnect'));
        }
      },
      cancel: () => {
        closing = true;
      },
    });
    this.writable = new WritableStream({
      write: async (chunk) => {
        await port.write(Buffer.from(chunk));
        await port.drain();
      },
    });
    this.closeStreams = () => {
      closing = true;
    };
  }

  async setSignals(signals) {
    if (!this.port) throw new DOMException('The port is closed.', 'InvalidStateError');
    await this.port.set({dtr: signals.dataTerminalReady !== false, rts: signals.requestToSend !== false});
  }

  async close() {
    if (!this.port) throw new DOMException('The port is already closed.', 'InvalidStateError');
    if ((this.readable && this.readable.locked) || this.writable.locked) {
      throw new TypeError('Cannot close a port with locked streams.');
    }
    this.closeStreams();
    const port = this.port;
    this.port = null;
    this.readable = null;
    this.writable = null;
    await port.close();
  }
}
