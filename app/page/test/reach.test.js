'use strict';
// Every operation and sales action the host answers is asked by some part of
// the page. (The window tests check this list against the host's own tables
// and walk the screens in the real application.)
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const {OPERATIONS, SALES_ACTIONS} = require('../../resources/desktop/logic/bridge.js');

const root = path.join(__dirname, '..', '..', 'resources', 'desktop');
const sources = [path.join(root, 'app.js'), path.join(root, 'ui.js'), path.join(root, 'logic', 'library.js'),
  ...fs.readdirSync(path.join(root, 'screens')).map(name => path.join(root, 'screens', name))];

function asked(pattern) {
  const found = new Map();
  for (const file of sources) {
    const text = fs.readFileSync(file, 'utf8');
    for (const match of text.matchAll(pattern)) {
      if (!found.has(match[1])) found.set(match[1], new Set());
      found.get(match[1]).add(path.basename(file));
    }
  }
  return found;
}

test('the screens ask every operation of the host, and only those', () => {
  const calls = asked(/bridge\.call\('([A-Za-z]+)'/g);
  // "session" and "sales" go through their own helpers.
  if (fs.readFileSync(path.join(root, 'app.js'), 'utf8').includes('bridge.session()')) calls.set('session', new Set(['app.js']));
  const sales = asked(/\bsales\('([A-Za-z]+)'/g);
  if (sales.size) calls.set('sales', new Set(['(sales actions)']));
  assert.deepEqual([...calls.keys()].sort(), Object.keys(OPERATIONS).sort());
});

test('the screens ask every sales action, and only those', () => {
  const sales = asked(/\bsales\('([A-Za-z]+)'/g);
  assert.deepEqual([...sales.keys()].sort(), [...SALES_ACTIONS].sort());
});
