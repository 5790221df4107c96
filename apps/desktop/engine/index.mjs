// @quillet/engine: the engine client, and where the bundled engine is.
export * from './client/engine-client.mjs';
export { enginePath } from './locate.mjs';
