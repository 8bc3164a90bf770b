// 客户: the relationship library (synced incrementally and kept per
// account), search and filters over thousands of companies, a company's
// contacts and minutes, editing a company, the import history, and the
// company's own page on the service.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, useMemo, useEffect, Loaded, ActionButton, ErrorNote, Empty, Badge,
    Toolbar, Tabs, VirtualList, Field, Link, Progress, SubmitButton} = K.ui;
  const {KIND_LABELS} = K.directory;
  const F = K.format;
  const {routeOf} = K.router;

  const KIND_TONES = {customer: 'good', prospect: 'accent', partner: 'warn'};

  function kindBadge(kind) {
    return html`<${Badge} tone=${KIND_TONES[kind] || ''}>${KIND_LABELS[kind] || '未分类'}</${Badge}>`;
  }

  // The filters survive leaving the screen and coming back.
  const remembered = {query: '', kind: '', target: false, unsure: false};

  function CompanyList({desk, index, selected}) {
    const [filters, setFilters] = useState(remembered);
    const set = change => {
      const next = Object.assign({}, filters, change);
      Object.assign(remembered, next);
      setFilters(next);
    };
    const rows = useMemo(() => {
      const started = performance.now();
      const found = K.directory.filter(index, filters);
      desk.timings.lastFilterMs = Math.round((performance.now() - started) * 100) / 100;
      return found;
    }, [index, filters.query, filters.kind, filters.target, filters.unsure]);
    useEffect(() => { desk.mark('customersDrawn'); }, []);
    const key = event => {
      if (event.key === 'ArrowDown') {
        const list = event.currentTarget.closest('.pane').querySelector('.vlist');
        if (list) { event.preventDefault(); list.focus(); }
      }
    };
    return html`<div class="pane master">
      <div class="filters">
        <input type="search" placeholder="搜索企业、联系人、职位" aria-label="搜索客户" value=${filters.query}
          onInput=${event => set({query: event.currentTarget.value})} onKeyDown=${key} id="customer-search" />
        <select aria-label="客户类型" value=${filters.kind} onChange=${event => set({kind: event.currentTarget.value})}>
          <option value="">全部类型</option>
          ${Object.entries(KIND_LABELS).map(([value, label]) => html`<option value=${value}>${label}</option>`)}
        </select>
        <label class="check"><input type="checkbox" checked=${filters.target} onChange=${event => set({target: event.currentTarget.checked})} />目标客户</label>
        <label class="check"><input type="checkbox" checked=${filters.unsure} onChange=${event => set({unsure: event.currentTarget.checked})} />待核实</label>
      </div>
      <p class="muted small" aria-live="polite">${rows.length === index.rows.length
        ? `共 ${F.count(index.companies)} 家企业、${F.count(index.contacts)} 位联系人`
        : `找到 ${F.count(rows.length)} 家企业`}</p>
      ${rows.length ? html`<${VirtualList} items=${rows} rowHeight=${52} label="企业列表" selectedKey=${selected}
        keyOf=${row => row.company.id}
        onOpen=${row => desk.navigate(routeOf('customer', row.company.id))}
        renderRow=${row => html`<div class="grow" style="min-width:0;flex:1">
          <div class="row-title clip">${row.company.name}</div>
          <div class="row-meta clip">${row.contacts.length ? `${row.contacts.length} 位联系人 · ${row.contacts.slice(0, 3).map(c => c.name).join('、')}` : '暂无联系人'}</div></div>
          ${row.company.unsure ? html`<${Badge} tone="warn">待核实</${Badge}>` : null}
          ${row.company.isTarget ? html`<${Badge} tone="accent">目标</${Badge}>` : null}
          ${kindBadge(row.company.kind)}`} />`
        : html`<${Empty} title="没有符合条件的企业" hint="换个关键词，或清除类型和标记筛选。">
            <button type="button" onClick=${() => set({query: '', kind: '', target: false, unsure: false})}>清除筛选</button><//>`}
    </div>`;
  }

  const EMPTY_COMPANY = {name: '', introNote: '', structure: '', targetPosition: '', kind: 'prospect', isTarget: false, unsure: false};

  // Creates (new id) or edits a company through "companySave".
  function CompanyForm({desk, company, onSaved, onCancel}) {
    const [draft, setDraft] = useState(Object.assign({}, EMPTY_COMPANY, company || {}));
    const save = useAction();
    const id = useMemo(() => (company && company.id) || K.tasks.newId(), [company]);
    const field = name => event => {
      const value = event.currentTarget.type === 'checkbox' ? event.currentTarget.checked : event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const submit = event => {
      event.preventDefault();
      const body = {name: draft.name.trim(), introNote: draft.introNote, structure: draft.structure,
        targetPosition: draft.targetPosition, kind: draft.kind, isTarget: !!draft.isTarget, unsure: !!draft.unsure};
      save.run(() => desk.bridge.sales('companySave', {id, body})).then(outcome => {
        if (outcome.ok) onSaved(id, outcome.value);
      });
    };
    return html`<form class="card form" onSubmit=${submit} aria-label=${company ? '编辑企业' : '新建企业'}>
      <h3 class="wide">${company ? '编辑企业' : '新建企业'}</h3>
      <${Field} label="企业名称"><input type="text" required maxlength="120" value=${draft.name} onInput=${field('name')} /><//>
      <${Field} label="类型"><select value=${draft.kind} onChange=${field('kind')}>
        ${Object.entries(KIND_LABELS).map(([value, label]) => html`<option value=${value}>${label}</option>`)}</select><//>
      <${Field} label="目标职位"><input type="text" maxlength="120" value=${draft.targetPosition} onInput=${field('targetPosition')} /><//>
      <div class="filters"><label class="check"><input type="checkbox" checked=${draft.isTarget} onChange=${field('isTarget')} />目标客户</label>
        <label class="check"><input type="checkbox" checked=${draft.unsure} onChange=${field('unsure')} />信息待核实</label></div>
      <div class="wide"><${Field} label="简介"><textarea maxlength="2000" value=${draft.introNote} onInput=${field('introNote')}></textarea><//></div>
      <div class="wide"><${Field} label="组织结构"><textarea maxlength="2000" value=${draft.structure} onInput=${field('structure')}></textarea><//></div>
      <div class="form-actions">
        <${SubmitButton} action=${save} disabled=${!draft.name.trim()}>保存</${SubmitButton}>
        <button type="button" onClick=${onCancel}>取消</button>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} />
      </div>
    </form>`;
  }

  function CompanyMinutes({desk, company}) {
    const minutes = useLoad('minutes', () => desk.bridge.sales('minutes'));
    const [kit, setKit] = useState(K.minuteKit || null);
    useEffect(() => { if (!kit) desk.ensureScreen('minutes').then(() => setKit(K.minuteKit)); }, []);
    return html`<div class="pane">
      ${kit ? html`<${kit.ArchiveFlow} desk=${desk} companyID=${company.id} onArchived=${() => minutes.reload()} />` : null}
      <${Loaded} state=${minutes}
        isEmpty=${d => d.minutesUnavailable || !(d.items || []).some(m => m.companyID === company.id)}
        emptyView=${minutes.data && minutes.data.minutesUnavailable
          ? html`<${Empty} title="服务暂未开放会议纪要" hint="纪要功能开放后，这家企业的会议记录会出现在这里。" />`
          : html`<${Empty} title="这家企业还没有纪要" hint="会后选择纪要文件归档，或在企业主页里记录。" />`}>
        ${d => html`<ul class="list card">${d.items.filter(m => m.companyID === company.id).map(m => html`<li key=${m.id}>
          <div class="grow"><div class="row-title"><${Link} to=${routeOf('minute', m.id)}>${m.title}</${Link}></div>
          <div class="row-meta">${F.day(m.date)}${m.attendees && m.attendees.length ? ` · ${m.attendees.join('、')}` : ''}</div></div>
          ${m.archived ? html`<${Badge} tone="good">已归档</${Badge}>` : html`<${Badge} tone="warn">未归档</${Badge}>`}</li>`)}</ul>`}
      <//>
    </div>`;
  }

  function CompanyDetail({desk, route, index, library}) {
    const company = library.companies.get(route.id);
    const row = useMemo(() => index.rows.find(r => r.company.id === route.id), [index, route.id]);
    const [editing, setEditing] = useState(false);
    const open = useAction();
    const tab = route.tail || 'contacts';
    if (!company) {
      return html`<div class="pane"><button type="button" class="back" onClick=${() => desk.navigate('customers')}>← 返回客户</button>
        <${Empty} title="关系库里没有这家企业" hint="它可能已被删除，或尚未同步。点“同步”取回最新数据。" /></div>`;
    }
    const saved = () => { setEditing(false); desk.syncLibrary(); };
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('customers')}>← 返回客户</button>
      <div class="card">
        <div class="card-head"><h2 class="clip">${company.name}</h2><div class="toolbar-actions">${kindBadge(company.kind)}
          ${company.isTarget ? html`<${Badge} tone="accent">目标客户</${Badge}>` : null}
          ${company.unsure ? html`<${Badge} tone="warn">待核实</${Badge}>` : null}</div></div>
        <p class="pre">${company.introNote || '暂无简介。'}</p>
        <dl class="kv" style="margin-top:8px"><dt>目标职位</dt><dd>${company.targetPosition || '未填写'}</dd>
          <dt>组织结构</dt><dd>${company.structure || '未填写'}</dd></dl>
        <div class="toolbar-actions" style="margin-top:10px">
          <button type="button" onClick=${() => setEditing(!editing)} aria-expanded=${editing}>编辑企业</button>
          <${ActionButton} action=${open} run=${() => desk.bridge.call('webCompany', {id: company.id})}>打开企业主页</${ActionButton}>
        </div>
        <${ErrorNote} text=${open.status === 'error' ? open.error : ''} />
      </div>
      ${editing ? html`<${CompanyForm} desk=${desk} company=${company} onSaved=${saved} onCancel=${() => setEditing(false)} />` : null}
      <${Tabs} label="企业资料" current=${tab} onChange=${next => desk.navigate(routeOf('customer', company.id, next === 'contacts' ? '' : next), false)}
        tabs=${[{id: 'contacts', label: '联系人', count: row ? row.contacts.length : 0}, {id: 'minutes', label: '会议纪要'}]} />
      ${tab === 'minutes' ? html`<${CompanyMinutes} desk=${desk} company=${company} />`
        : row && row.contacts.length ? html`<div class="card"><ul class="list">${row.contacts.map(c => html`<li key=${c.id}>
            <div class="grow"><div class="row-title">${c.name}</div><div class="row-meta">${[c.department, c.title].filter(Boolean).join(' · ') || '未填写部门和职务'}</div></div></li>`)}</ul></div>`
        : html`<${Empty} title="还没有联系人" hint="在企业主页添加联系人，或从活动名单转化。" />`}
    </div>`;
  }

  function Imports({desk}) {
    const imports = useLoad('imports', () => desk.bridge.sales('imports'));
    const open = useAction();
    const review = K.settings ? K.settings.reviewOf : () => null;
    return html`<div class="page">
      <${Toolbar} title="导入记录" sub="关系库的批量导入">
        <button type="button" onClick=${() => desk.navigate('customers')}>返回客户</button>
        <${ActionButton} action=${open} kind="primary" run=${() => desk.bridge.call('webWorkspace', {route: 'library/import'})}>导入企业</${ActionButton}>
      <//>
      <${ErrorNote} text=${open.status === 'error' ? open.error : ''} />
      <${Loaded} state=${imports} isEmpty=${d => !(d.items || []).length}
        emptyView=${html`<${Empty} title="还没有导入记录" hint="点“导入企业”，从表格或名片批量导入。" />`}>
        ${d => html`<div class="card"><ul class="list">${d.items.map(item => html`<li key=${item.id}><div class="grow">
          <div class="row-title">${item.fileName}</div>
          <div class="row-meta">${F.dateTime(item.at)} · ${item.by || ''} · 新增 ${item.added || 0}，更新 ${item.updated || 0}，跳过 ${item.skipped || 0}</div></div>
          ${review(item) ? html`<${ActionButton} action=${open} run=${() => desk.bridge.call('webWechatReview', review(item))}>预览差异</${ActionButton}>` : null}
          <${Badge} tone=${item.status === 'done' ? 'good' : ''}>${item.status === 'done' ? '已完成' : item.status || '处理中'}</${Badge}></li>`)}</ul></div>`}
      <//>
    </div>`;
  }

  function Customers({desk, route}) {
    const directory = desk.directory.value;
    const [creating, setCreating] = useState(false);
    useEffect(() => { if (!K.settings) desk.ensureScreen('settings').catch(() => {}); }, []);
    if (route.page === 'imports') return html`<${Imports} desk=${desk} />`;
    const data = directory.data;
    const detail = route.page === 'customer';
    const lastSync = data && data.library.serverTime ? F.dateTime(data.library.serverTime) : '';
    return html`<div class="page fill">
      <${Toolbar} title="客户" sub=${lastSync ? `同步于 ${lastSync}` : ''}>
        <${Progress} state=${directory} label="正在同步…" />
        <button type="button" onClick=${() => desk.syncLibrary()} disabled=${directory.status === 'loading'}>同步</button>
        <button type="button" onClick=${() => desk.navigate('imports')}>导入记录</button>
        <button type="button" class="primary" onClick=${() => setCreating(true)}>新建企业</button>
      <//>
      ${directory.status === 'error' ? html`<${ErrorNote} text=${directory.error} onRetry=${() => desk.syncLibrary()} />` : null}
      ${creating ? html`<${CompanyForm} desk=${desk} onCancel=${() => setCreating(false)}
        onSaved=${id => { setCreating(false); desk.syncLibrary().then(() => desk.navigate(routeOf('customer', id))); }} />` : null}
      ${!data ? (directory.status === 'error' ? null : html`<div class="loading-block"><${K.ui.Spinner} /><span>正在读取关系库…</span></div>`)
        : !data.index.rows.length ? html`<${Empty} title="关系库还是空的" hint="新建一家企业，或从表格批量导入。">
            <button type="button" onClick=${() => desk.navigate('imports')}>去导入</button><//>`
        : html`<div class=${`split${detail ? ' has-detail' : ''}`}>
            <${CompanyList} desk=${desk} index=${data.index} selected=${detail ? route.id : null} />
            ${detail ? html`<div class="scroll"><${CompanyDetail} desk=${desk} route=${route} index=${data.index} library=${data.library} /></div>`
              : html`<div class="detail-placeholder empty"><p class="empty-title">选择一家企业</p><p class="empty-hint">查看联系人、会议纪要，或打开企业主页。用 ↑↓ 选择，回车打开。</p></div>`}
          </div>`}
    </div>`;
  }

  K.screens.customers = Customers;
})();
