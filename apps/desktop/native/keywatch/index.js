'use strict';
// @quillet/keywatch: the keyboard module for this platform.
module.exports = require(require('./load.js').locate('@quillet/keywatch', 'keywatch.node'));
