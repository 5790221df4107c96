// ES module entry: the same binding as index.js, with named exports.
import { createRequire } from 'node:module';

const appfocus = createRequire(import.meta.url)('./index.js');
export const { start, stop, recheck, snapshot, status } = appfocus;
export default appfocus;
