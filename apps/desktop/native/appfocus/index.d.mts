// TypeScript looks for .d.mts beside an .mjs module; the typings live in index.d.ts.
export * from './index.js';
import type { Appfocus } from './index.js';
/** The object require() gives; a test may replace its functions. */
declare const appfocus: Appfocus;
export default appfocus;
