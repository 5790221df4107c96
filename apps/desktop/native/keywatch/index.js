'use strict';
// @quillet/keywatch: the keyboard module for this platform, as a plain object
// over the native exports (load.js), the same one that import gives.
module.exports = require('./load.js').packageObject('@quillet/keywatch', 'keywatch.node', [
  'start', 'stop', 'status', 'drain', 'foregroundPid', 'sendKeys', 'remoteKeysStart', 'remoteKeysStop', 'remoteKeysState',
]);
