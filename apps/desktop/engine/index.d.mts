// TypeScript looks for .d.mts beside an .mjs module; the typings live in index.d.ts.
export * from './index.js';
