'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const {parse, isPage, routeOf, createRouter, SECTIONS} = require('../../resources/desktop/logic/router.js');

const ID = '00000002-0000-4000-8000-000000000001';

test('the route the company exit opens shows that company\'s minutes', () => {
  // The host writes it as 'customer/' + encodeURIComponent(id) + '/minutes'.
  const odd = 'id with/slash & 中文';
  const route = `customer/${encodeURIComponent(odd)}/minutes`;
  assert.deepEqual(parse(route), {route, section: 'customers', page: 'customer', id: odd, tail: 'minutes'});
  assert.equal(routeOf('customer', odd, 'minutes'), route);
  assert.deepEqual(parse(`customer/${ID}`), {route: `customer/${ID}`, section: 'customers', page: 'customer', id: ID, tail: ''});
});

test('isPage answers for the routes the page shows and nothing else', () => {
  for (const section of SECTIONS) assert.equal(isPage(section.id), true, section.id);
  // The review exit's routes.
  assert.equal(isPage('imports'), true);
  assert.equal(isPage('customers'), true);
  for (const route of ['', 'Home', 'home/', 'customer', 'customer/', `customer/${ID}/notes`, `customer/${ID}/minutes/x`,
    'customer/%E0%A4%A', 'customer/ padded', '../Desktop.html', 'imports/x', 'constructor', '__proto__', 'toString',
    null, undefined, 42, {}, 'x'.repeat(401)])
    assert.equal(isPage(route), false, String(route));
});

test('navigate remembers where it came from; navigate(route, false) does not', () => {
  const shown = [];
  const router = createRouter(route => shown.push(route.route));
  assert.equal(router.destination, 'home');
  assert.equal(router.navigate('customers'), true);
  assert.equal(router.navigate(`customer/${ID}`), true);
  assert.equal(router.navigate(`customer/${ID}/minutes`, false), true);
  assert.equal(router.destination, `customer/${ID}/minutes`);
  assert.equal(router.back(), true);
  assert.equal(router.destination, 'customers');
  assert.equal(router.back(), true);
  assert.equal(router.destination, 'home');
  assert.equal(router.back(), false);
  assert.deepEqual(shown, ['customers', `customer/${ID}`, `customer/${ID}/minutes`, 'customers', 'home']);
});

test('a route the page cannot show changes nothing', () => {
  const shown = [];
  const router = createRouter(route => shown.push(route.route));
  router.navigate('tasks');
  assert.equal(router.navigate('https://example.invalid/'), false);
  assert.equal(router.navigate('nowhere', false), false);
  assert.equal(router.destination, 'tasks');
  assert.deepEqual(shown, ['tasks']);
  // The host redraws the current route after a web workspace closes.
  assert.equal(router.navigate(router.destination, false), true);
  assert.equal(router.canGoBack, true);
  router.back();
  assert.equal(router.canGoBack, false);
});
