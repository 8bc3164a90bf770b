// Search and filter over the relationship library, fast enough to run on
// every keystroke with thousands of companies: the text each company is
// matched against is built once per library version, and a query is a few
// substring tests per company.
(function (root, name, factory) {
  const api = factory();
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.KorvidDesk = root.KorvidDesk || {})[name] = api;
})(this, 'directory', function () {
  'use strict';

  const KIND_LABELS = Object.freeze({customer: '客户', prospect: '潜在客户', partner: '伙伴'});

  function text(value) { return typeof value === 'string' ? value : ''; }

  // Rows sorted by company name, each with its contacts and its search text.
  function buildIndex(library) {
    const byCompany = new Map();
    for (const contact of library.contacts.values()) {
      const list = byCompany.get(contact.companyID);
      if (list) list.push(contact);
      else byCompany.set(contact.companyID, [contact]);
    }
    const collator = new Intl.Collator('zh-Hans-CN');
    const rows = [];
    for (const company of library.companies.values()) {
      const contacts = byCompany.get(company.id) || [];
      contacts.sort((a, b) => collator.compare(text(a.name), text(b.name)));
      const parts = [company.name, company.introNote, company.targetPosition, company.structure,
        KIND_LABELS[company.kind] || ''];
      for (const contact of contacts) parts.push(contact.name, contact.department, contact.title);
      rows.push({company, contacts, haystack: parts.map(text).join('\n').toLowerCase()});
    }
    rows.sort((a, b) => collator.compare(text(a.company.name), text(b.company.name)));
    return {rows, companies: library.companies.size, contacts: library.contacts.size};
  }

  // filter: {query, kind ('' | customer | prospect | partner), target, unsure}
  function filter(index, options) {
    const terms = text(options && options.query).toLowerCase().split(/\s+/).filter(Boolean);
    const kind = options && options.kind;
    const target = options && options.target;
    const unsure = options && options.unsure;
    const out = [];
    for (const row of index.rows) {
      const company = row.company;
      if (kind && company.kind !== kind) continue;
      if (target && company.isTarget !== true) continue;
      if (unsure && company.unsure !== true) continue;
      let ok = true;
      for (const term of terms) if (!row.haystack.includes(term)) { ok = false; break; }
      if (ok) out.push(row);
    }
    return out;
  }

  return {KIND_LABELS, buildIndex, filter};
});
