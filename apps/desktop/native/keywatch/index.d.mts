// TypeScript looks for .d.mts beside an .mjs module; the typings live in index.d.ts.
export * from './index.js';
import type { Keywatch } from './index.js';
/** The object require() gives; a test may replace its functions. */
declare const keywatch: Keywatch;
export default keywatch;
