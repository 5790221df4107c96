// ES module entry: the default export is the object require() gives; each
// named export calls through it, so a stub put on that object reaches every
// caller. The binary is loaded here, in this module's own body, and not by
// importing index.js: Node 20 ends the process when a CommonJS module that
// an ES module imports throws, even when import() is caught (off Windows,
// the loader throws). A static import of load.js, so that a bundler follows it.
import loader from './load.js';

const keywatch = loader.packageObject('@quillet/keywatch', 'keywatch.node', [
  'start', 'stop', 'status', 'drain', 'foregroundPid', 'sendKeys', 'remoteKeysStart', 'remoteKeysStop', 'remoteKeysState',
]);
export default keywatch;
export const start = () => keywatch.start();
export const stop = () => keywatch.stop();
export const status = () => keywatch.status();
export const drain = () => keywatch.drain();
export const foregroundPid = () => keywatch.foregroundPid();
export const sendKeys = (command) => keywatch.sendKeys(command);
export const remoteKeysStart = () => keywatch.remoteKeysStart();
export const remoteKeysStop = () => keywatch.remoteKeysStop();
export const remoteKeysState = () => keywatch.remoteKeysState();
