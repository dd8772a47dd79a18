// Test-only: the Web Serial stand-in (serial-standin.js) under Node, over the same bridge as in Chromium.
// Node 20 has neither navigator nor a global WebSocket: the stand-in gets a bare navigator and ws's
// WebSocket, and nothing else differs from the page.
//
//   const serial = installStandin(bridge.standinConfig([{name: 'com1', granted: true}]));
//   const [port] = await serial.getPorts();
import vm from 'node:vm';
import { WebSocket } from 'ws';
import { standinSource } from './bridge.mjs';

export function installStandin(config) {
  if (globalThis.navigator?.serial) throw new Error('the serial stand-in is installed already');
  globalThis.WebSocket ??= WebSocket;
  if (typeof globalThis.Navigator !== 'function') {
    globalThis.Navigator = class Navigator {};
    Object.defineProperty(globalThis, 'navigator', {
      configurable: true,
      value: Object.create(globalThis.Navigator.prototype),
    });
  }
  vm.runInThisContext(standinSource({ requireUserActivation: false, ...config }), {
    filename: 'serial-standin.js',
  });
  return globalThis.navigator.serial;
}
