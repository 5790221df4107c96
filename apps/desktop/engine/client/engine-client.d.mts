// TypeScript looks for .d.mts beside an .mjs module; the typings live in engine-client.d.ts.
export * from './engine-client.js';
