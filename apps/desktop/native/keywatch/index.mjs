// ES module entry: the same binding as index.js, with named exports.
import { createRequire } from 'node:module';

const keywatch = createRequire(import.meta.url)('./index.js');
export const {
  start, stop, status, drain, foregroundPid, sendKeys, remoteKeysStart, remoteKeysStop, remoteKeysState,
} = keywatch;
export default keywatch;
