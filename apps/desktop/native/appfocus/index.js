'use strict';
// @quillet/appfocus: the foreground-application module for this platform, as
// a plain object over the native exports (load.js), the same one that import gives.
module.exports = require('./load.js').packageObject('@quillet/appfocus', 'appfocus.node', [
  'start', 'stop', 'recheck', 'snapshot', 'status',
]);
