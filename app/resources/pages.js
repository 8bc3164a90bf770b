// What the pages shown in web workspaces share: building elements from text,
// dates in words, and calling the service on this origin with the signed-in
// token. Put inline by the desktop when it shows a page, like pages.css.
const KorvidPage = (() => {
  'use strict';
  const TIMEOUT_MS = 20000;
  const $ = id => document.getElementById(id);

  // Elements are built from text only: nothing the service sends becomes markup.
  function h(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (key === 'class') node.className = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value === true ? '' : String(value));
    }
    for (const child of children.flat(Infinity)) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }
  const text = value => typeof value === 'string' ? value.trim() : '';
  const fill = (id, ...nodes) => $(id).replaceChildren(...nodes.flat());

  function dayText(value) {
    const s = text(value);
    if (!/^\d{4}-\d{2}-\d{2}/.test(s)) return s;
    const when = s.length > 10 ? new Date(s) : new Date(s + 'T00:00:00');
    if (isNaN(when)) return s;
    const today = new Date(); today.setHours(0, 0, 0, 0);
    const that = new Date(when); that.setHours(0, 0, 0, 0);
    const days = Math.round((that - today) / 86400000);
    if (days === 0) return '今天';
    if (days === -1) return '昨天';
    if (days === 1) return '明天';
    const label = (when.getMonth() + 1) + '月' + when.getDate() + '日';
    return when.getFullYear() === today.getFullYear() ? label : when.getFullYear() + '年' + label;
  }

  const loading = () => h('div', {class: 'loading'}, h('span', {class: 'spinner', 'aria-hidden': 'true'}), '正在读取…');
  const failure = (message, retry) => h('div', {class: 'error', role: 'alert'}, h('span', null, message),
    retry ? h('button', {type: 'button', onclick: retry}, '重试') : null);

  // One call of the service on this origin with the signed-in token; every
  // failure becomes one Chinese sentence. `notFound` is the page's own words
  // for a 404; `accept` tells a usable answer, `unreadable` what to say of
  // another; `verb` names the attempt in the fallback sentence.
  async function call(path, {method = 'GET', notFound = '', accept = () => true,
    unreadable = '服务返回的数据无法读取，请稍后重试。', verb = '读取'} = {}) {
    const token = localStorage.getItem('korvid.token');
    if (!token) throw new Error('登录信息已失效，请退出登录后重新登录。');
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    let response;
    try {
      response = await fetch(path, {method, headers: {Authorization: 'Bearer ' + token, 'x-korvid-privacy-version': '2',
        Accept: 'application/json'}, cache: 'no-store', signal: abort.signal});
    } catch (error) {
      throw new Error(abort.signal.aborted ? '服务长时间没有响应，请稍后重试。' : '无法连接服务，请检查网络后重试。');
    } finally {
      clearTimeout(timer);
    }
    const body = await response.json().catch(() => null);
    if (response.ok && body && typeof body === 'object' && accept(body)) return body;
    if (response.ok) throw new Error(unreadable);
    if (response.status === 401) throw new Error('登录已失效，请退出登录后重新登录。');
    if (response.status === 404 && notFound) throw new Error(notFound);
    const message = body && typeof body.message === 'string' && /[\u4e00-\u9fff]/.test(body.message) ? body.message : '';
    throw new Error(message || verb + '失败（HTTP ' + response.status + '），请稍后重试。');
  }

  return Object.freeze({$, h, text, fill, dayText, loading, failure, call});
})();
