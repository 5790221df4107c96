'use strict';
// @quillet/appfocus: the foreground-application module for this platform.
module.exports = require(require('./load.js').locate('@quillet/appfocus', 'appfocus.node'));
