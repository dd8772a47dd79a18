// The page around the updater's engine: it shows what the engine reports (one JSON event per line, the same
// events as the program's JSON console), hands the technician's actions to it, and keeps the ports the
// browser granted. Everything runs in this one page: nothing is fetched, nothing is sent anywhere.
(function () {
  'use strict';
  const $ = (id) => document.getElementById(id);
  // The page as it arrived, before any script changed it: the template of the copies it saves.
  const pristine = '<!DOCTYPE html>\n' + document.documentElement.outerHTML;

  const state = {
    module: null,
    running: false,
    ports: [],          // the SerialPort objects granted to this page, in the order they came
    files: {},          // 'firmware' / 'loader' -> {name, bytes}
    actions: [],        // what the engine takes next: "start\n<args>", "stop", "save\n<name>"
    embedded: false,
    rows: new Map(),    // a batch's port -> its row
  };

  // ---- What the engine calls (through Module.braePage)

  const page = {
    // One event line of the engine's JSON presentation.
    event(line) {
      let e;
      try {
        e = JSON.parse(line);
      } catch (err) {
        return;
      }
      show(e);
    },
    // The next action, or '' (the engine asks in each turn of its loop).
    takeAction() {
      return state.actions.length ? state.actions.shift() : '';
    },
    payloadText() {
      return $('brae-payload').textContent;
    },
    pristine() {
      return pristine;
    },
    ports() {
      return state.ports;
    },
    // A file for the technician: a log at the end of a run, a copy of the page.
    offer(name, bytes, type) {
      const url = URL.createObjectURL(new Blob([bytes], {type: type || 'application/octet-stream'}));
      const a = document.createElement('a');
      a.href = url;
      a.download = name;
      document.body.appendChild(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
    },
    // The page carries payloads of its own: say so, and hide the file choice.
    embedded(text) {
      state.embedded = true;
      $('embedded').textContent = text;
      $('embedded').hidden = false;
      $('choose').hidden = true;
      refresh();
    },
  };

  function rouse() {
    if (state.module && state.module.braeRouse) state.module.braeRouse();
  }

  function act(text) {
    state.actions.push(text);
    rouse();
  }

  // ---- Showing the engine's events

  function show(e) {
    const row = e.port !== undefined ? rowOf(e.port) : null;
    switch (e.event) {
      case 'status':
        (row ? row.status : $('status')).textContent = e.text;
        break;
      case 'progress': {
        const bar = row ? row.bar : $('bar');
        bar.hidden = false;
        bar.max = e.total || 1;
        bar.value = e.bytes;
        if (!row) {
          $('rate').textContent = e.rate === null ? '' :
              `${Math.round(e.rate)} bytes/s, ${formatSeconds(e.eta_s)} left`;
        }
        break;
      }
      case 'error':
        $('error-code').textContent = e.code ? `Problem ${e.code}` : '';
        $('error-text').textContent = e.text;
        $('error').hidden = false;
        break;
      case 'error_hidden':
        $('error').hidden = true;
        break;
      case 'message':
        $('message-caption').textContent = e.caption;
        $('message-text').textContent = e.text;
        if (!$('message').open) $('message').showModal();
        break;
      case 'log':
        $('log').textContent += e.text + '\n';
        break;
      case 'notice':  // what the run says besides its status: a stop's note on the boot loader, say
        $('notice').textContent = e.text;
        $('notice').hidden = false;
        break;
      case 'port':
        if (row) row.status.textContent = `${e.name}: answering at ${e.baud} baud`;
        break;
      case 'check': {
        const answers = Object.entries(e.answers || {}).map(([c, a]) => `${c} ${a}`).join(', ');
        (row ? row.status : $('status')).textContent = e.text;
        if (!row) $('rate').textContent = answers;
        break;
      }
      case 'result':
        if (!row) ended(e);
        break;
      case 'batch':
        ended(e);
        break;
      case 'title':
        $('title').textContent = e.text;
        document.title = e.text;
        break;
    }
  }

  function rowOf(port) {
    let row = state.rows.get(port);
    if (!row) {
      const li = document.createElement('li');
      const name = document.createElement('strong');
      name.textContent = port + ' ';
      const status = document.createElement('span');
      const bar = document.createElement('progress');
      bar.hidden = true;
      li.append(name, status, bar);
      $('rows').appendChild(li);
      row = {status, bar};
      state.rows.set(port, row);
    }
    return row;
  }

  function formatSeconds(s) {
    if (s === null || s === undefined) return '';
    const m = Math.floor(s / 60);
    return m ? `${m} min ${Math.round(s % 60)} s` : `${Math.round(s)} s`;
  }

  function ended(e) {
    state.running = false;
    refresh();
    // The log of the run, as the program writes it, offered by the name it has there.
    const path = e.log_file;
    if (path && state.module) {
      try {
        const bytes = state.module.FS.readFile(path);
        const name = path.substring(path.lastIndexOf('/') + 1);
        const link = $('log-download');
        if (link.href) URL.revokeObjectURL(link.href);
        link.href = URL.createObjectURL(new Blob([bytes], {type: 'text/plain'}));
        link.download = name;
        link.textContent = `Download the log (${name})`;
        link.hidden = false;
      } catch (err) {
        // The run wrote no log file: nothing to offer.
      }
    }
  }

  // ---- The technician's actions

  function refresh() {
    const canRun = !!state.module && !state.running && !!navigator.serial;
    const payloads = state.embedded || !!state.files.firmware;
    $('update').disabled = !canRun || !payloads;
    $('check').disabled = !canRun;
    $('choose-port').disabled = state.running || !navigator.serial;
    $('stop').hidden = !state.running;
    $('keep-open').hidden = !state.running;
    $('save-copy').disabled = !state.module || state.running || (!state.files.firmware && !state.files.loader);
    const list = $('port-list');
    list.textContent = '';
    state.ports.forEach((p, i) => {
      const info = p.getInfo ? p.getInfo() : {};
      const li = document.createElement('li');
      const usb = info.usbVendorId === undefined ? 'not a USB adapter' :
          `USB ${hex4(info.usbVendorId)}:${hex4(info.usbProductId)}`;
      li.textContent = `Com${i + 1} (${usb})`;
      list.appendChild(li);
    });
    const names = ['firmware', 'loader'].filter((k) => state.files[k]).map((k) => `${k}: ${state.files[k].name}`);
    $('chosen').textContent = names.join(', ');
  }

  function hex4(n) {
    return ('000' + n.toString(16)).slice(-4);
  }

  // The command line of a run, as the program takes it: the chosen files in /i mode, the granted ports.
  function commandLine(check) {
    const args = ['brae-update.html'];
    if (!state.embedded && state.files.firmware) {
      args.push('/i', '/in/' + state.files.firmware.name);
      if (state.files.loader) args.push('/in/' + state.files.loader.name);
    }
    if (state.ports.length > 1) args.push('/all');
    state.ports.forEach((p, i) => args.push('/p', `Com${i + 1}`));
    if (check) args.push('--check');
    return args;
  }

  function start(check) {
    if (!state.ports.length) {
      $('status').textContent = 'Choose the port of the indicator first.';
      return;
    }
    const fs = state.module.FS;
    for (const kind of ['firmware', 'loader']) {
      const f = state.files[kind];
      if (f) fs.writeFile('/in/' + f.name, f.bytes);
    }
    state.rows.clear();
    $('rows').textContent = '';
    $('error').hidden = true;
    $('notice').hidden = true;
    $('bar').hidden = true;  // not the last run's bar until this one's first progress
    $('bar').value = 0;
    $('rate').textContent = '';
    $('log').textContent = '';
    $('log-download').hidden = true;
    state.running = true;
    refresh();
    act('start\n' + commandLine(check).join('\n'));
  }

  // A copy of this page with the chosen files in it; a file not chosen is taken over from this page.
  function saveCopy(name) {
    const paths = ['firmware', 'loader'].map((kind) => {
      const f = state.files[kind];
      if (!f) return '';
      state.module.FS.writeFile('/in/' + f.name, f.bytes);
      return '/in/' + f.name;
    });
    act(['save', name.replace(/[\\/\n]/g, '_'), ...paths].join('\n'));
  }

  async function choosePort() {
    try {
      addPort(await navigator.serial.requestPort());
    } catch (err) {
      // The chooser was closed without a port: nothing changes.
    }
    refresh();
  }

  // A port for the engine: ComN is the N-th port given to its serial layer, which also keeps the list (an
  // adapter plugged in again joins it by itself).
  function addPort(port) {
    if (state.ports.includes(port)) return;
    if (state.module) {
      state.module.braeSerialAdd(port);
      state.ports = state.module.braeSerialPorts;
    } else {
      state.ports.push(port);
    }
  }

  async function takeFiles(fileList) {
    for (const file of fileList) {
      const bytes = new Uint8Array(await file.arrayBuffer());
      // A loader is S-record text: it starts with "S0".."S9"; anything else is the firmware.
      const kind = bytes.length > 1 && bytes[0] === 0x53 && bytes[1] >= 0x30 && bytes[1] <= 0x39 ? 'loader' : 'firmware';
      state.files[kind] = {name: safeName(file.name), bytes};
    }
    refresh();
  }

  function safeName(name) {
    const base = name.replace(/[\\/]/g, '_').replace(/^\.+/, '_');
    return base || 'file';
  }

  function wire() {
    $('choose-port').onclick = choosePort;
    $('update').onclick = () => start(false);
    $('check').onclick = () => start(true);
    $('stop').onclick = () => act('stop');
    $('show-log').onclick = () => {
      $('log').hidden = !$('log').hidden;
      $('show-log').textContent = $('log').hidden ? 'Show log' : 'Hide log';
    };
    $('save-copy').onclick = () => {
      const name = prompt('Name of the copy (it is saved as Name.html):', 'Update');
      if (name) saveCopy(name);
    };
    $('firmware-file').onchange = async (ev) => {
      const f = ev.target.files[0];
      if (f) state.files.firmware = {name: safeName(f.name), bytes: new Uint8Array(await f.arrayBuffer())};
      refresh();
    };
    $('loader-file').onchange = async (ev) => {
      const f = ev.target.files[0];
      if (f) state.files.loader = {name: safeName(f.name), bytes: new Uint8Array(await f.arrayBuffer())};
      refresh();
    };
    const drop = $('drop');
    drop.ondragover = (ev) => {
      ev.preventDefault();
      drop.classList.add('over');
    };
    drop.ondragleave = () => drop.classList.remove('over');
    drop.ondrop = (ev) => {
      ev.preventDefault();
      drop.classList.remove('over');
      takeFiles(ev.dataTransfer.files);
    };
    // Closing or reloading the tab in the middle of an update would leave the indicator half written.
    window.addEventListener('beforeunload', (ev) => {
      if (!state.running) return;
      ev.preventDefault();
      ev.returnValue = '';
    });
  }

  async function main() {
    wire();
    if (!navigator.serial) {
      $('unsupported').hidden = false;
    } else {
      state.ports = await navigator.serial.getPorts();
    }
    refresh();
    const granted = state.ports;
    state.ports = [];
    // The engine's loader would first try to fetch its own WebAssembly (a data: address inside the page),
    // which the page's policy refuses; without fetch it decodes the bytes it already has.
    const fetch = window.fetch;
    window.fetch = undefined;
    let started;
    try {
      started = BraeUpdate({braePage: page, print() {}, printErr() {}});
    } finally {
      window.fetch = fetch;
    }
    state.module = await started;
    state.ports = state.module.braeSerialPorts;
    for (const port of granted) addPort(port);
    refresh();
  }

  window.braeTest = {state, page};
  main();
})();
