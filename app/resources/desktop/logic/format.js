// Numbers, amounts and dates as the page writes them.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'format', function () {
  'use strict';

  const STAGES = Object.freeze([
    {code: 'lead', label: '线索'}, {code: 'contact', label: '初步接触'}, {code: 'qualify', label: '需求确认'},
    {code: 'proposal', label: '方案报价'}, {code: 'negotiation', label: '商务谈判'},
    {code: 'won', label: '赢单'}, {code: 'lost', label: '输单'},
  ]);

  const integer = new Intl.NumberFormat('zh-CN', {maximumFractionDigits: 0});
  const decimal = new Intl.NumberFormat('zh-CN', {maximumFractionDigits: 1});

  // 860000 → "86 万元"; 9600 → "9,600 元".
  function money(amount) {
    if (typeof amount !== 'number' || !Number.isFinite(amount)) return '—';
    if (Math.abs(amount) >= 10000) return `${decimal.format(amount / 10000)} 万元`;
    return `${integer.format(amount)} 元`;
  }

  function count(n) { return integer.format(n || 0); }

  function pad(n) { return String(n).padStart(2, '0'); }

  function dayKey(date) { return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`; }

  // "2026-03-14" or an ISO time → "3月14日" (with the year when it is not `now`'s).
  function day(text, now) {
    if (typeof text !== 'string' || !/^\d{4}-\d{2}-\d{2}/.test(text)) return '';
    const [y, m, d] = text.slice(0, 10).split('-').map(Number);
    const year = (now || new Date()).getFullYear();
    return `${y === year ? '' : `${y}年`}${m}月${d}日`;
  }

  function dateTime(text, now) {
    const date = typeof text === 'string' ? new Date(text) : null;
    if (!date || Number.isNaN(date.getTime())) return day(text, now);
    return `${day(dayKey(date), now)} ${pad(date.getHours())}:${pad(date.getMinutes())}`;
  }

  // Days from today to a "YYYY-MM-DD" date (negative when past), or null.
  function daysUntil(text, now) {
    if (typeof text !== 'string' || !/^\d{4}-\d{2}-\d{2}$/.test(text)) return null;
    const today = new Date(dayKey(now || new Date()) + 'T00:00:00');
    const then = new Date(text + 'T00:00:00');
    return Math.round((then - today) / 86400000);
  }

  function dueText(text, now) {
    const days = daysUntil(text, now);
    if (days === null) return '未定日期';
    if (days === 0) return '今天到期';
    if (days === 1) return '明天到期';
    if (days < 0) return `已逾期 ${-days} 天`;
    return `${days} 天后到期`;
  }

  function stageLabel(code) {
    const stage = STAGES.find(s => s.code === code);
    return stage ? stage.label : code || '未知阶段';
  }

  function percent(ratio) {
    return typeof ratio === 'number' && Number.isFinite(ratio) ? `${Math.round(ratio * 100)}%` : '—';
  }

  return {STAGES, money, count, day, dateTime, dayKey, daysUntil, dueText, stageLabel, percent};
});
