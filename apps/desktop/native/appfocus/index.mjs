// ES module entry: the default export is the object require() gives; each
// named export calls through it, so a stub put on that object reaches every
// caller. The binary is loaded here, in this module's own body, and not by
// importing index.js: Node 20 ends the process when a CommonJS module that
// an ES module imports throws, even when import() is caught (off Windows,
// the loader throws). A static import of load.js, so that a bundler follows it.
import loader from './load.js';

const appfocus = loader.packageObject('@quillet/appfocus', 'appfocus.node', [
  'start', 'stop', 'recheck', 'snapshot', 'status',
]);
export default appfocus;
export const start = () => appfocus.start();
export const stop = () => appfocus.stop();
export const recheck = () => appfocus.recheck();
export const snapshot = () => appfocus.snapshot();
export const status = () => appfocus.status();
