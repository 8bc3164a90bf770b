// 伙伴: commercial partner profiles (read, edit, create), the partner
// companies of the relationship library, and the state when the service
// does not offer profiles.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, Loaded, SubmitButton, ErrorNote, Empty, Badge, Toolbar, Tabs, Field, Link} = K.ui;
  const F = K.format;
  const {routeOf} = K.router;

  const TIERS = ['注册', '银牌', '金牌', '战略'];
  const list = text => text.split(/[,，、\s]+/).map(s => s.trim()).filter(Boolean);

  function ProfileForm({desk, profile, onSaved, onCancel}) {
    const [draft, setDraft] = useState({name: profile ? profile.name : '', tier: profile ? profile.tier : '注册',
      contact: profile ? profile.contact || '' : '', notes: profile ? profile.notes || '' : '',
      regions: profile ? (profile.regions || []).join('、') : '', capabilities: profile ? (profile.capabilities || []).join('、') : ''});
    const save = useAction();
    const set = name => event => {
      const value = event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const submit = event => {
      event.preventDefault();
      const body = {name: draft.name.trim(), tier: draft.tier, contact: draft.contact, notes: draft.notes,
        regions: list(draft.regions), capabilities: list(draft.capabilities)};
      if (profile) body.id = profile.id;
      save.run(() => desk.bridge.sales('ecoSave', {body})).then(outcome => { if (outcome.ok) onSaved(outcome.value); });
    };
    return html`<form class="card form" onSubmit=${submit} aria-label=${profile ? '编辑伙伴档案' : '新建伙伴档案'}>
      <h3 class="wide">${profile ? '编辑伙伴档案' : '新建伙伴档案'}</h3>
      <${Field} label="伙伴名称"><input type="text" required maxlength="120" value=${draft.name} onInput=${set('name')} /><//>
      <${Field} label="合作等级"><select value=${draft.tier} onChange=${set('tier')}>
        ${(TIERS.includes(draft.tier) ? TIERS : [draft.tier, ...TIERS]).map(t => html`<option value=${t}>${t}</option>`)}</select><//>
      <${Field} label="对接人"><input type="text" maxlength="40" value=${draft.contact} onInput=${set('contact')} /><//>
      <${Field} label="覆盖区域" hint="用顿号分隔"><input type="text" value=${draft.regions} onInput=${set('regions')} /><//>
      <${Field} label="能力" hint="用顿号分隔"><input type="text" value=${draft.capabilities} onInput=${set('capabilities')} /><//>
      <div class="wide"><${Field} label="备注"><textarea maxlength="2000" value=${draft.notes} onInput=${set('notes')}></textarea><//></div>
      <div class="form-actions"><${SubmitButton} action=${save} disabled=${!draft.name.trim()}>保存</${SubmitButton}>
        <button type="button" onClick=${onCancel}>取消</button>
        <${ErrorNote} text=${save.status === 'error' ? save.error : ''} /></div>
    </form>`;
  }

  function ProfileDetail({desk, id}) {
    const profile = useLoad(`ecoProfile:${id}`, () => desk.bridge.sales('ecoProfile', {id}));
    const [editing, setEditing] = useState(false);
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('partners')}>← 返回伙伴</button>
      <${Loaded} state=${profile}>${p => html`
        <div class="card">
          <div class="card-head"><h2 class="clip">${p.name}</h2><${Badge} tone=${p.tier === '金牌' || p.tier === '战略' ? 'warn' : 'accent'}>${p.tier}</${Badge}></div>
          <dl class="kv">
            <dt>对接人</dt><dd>${p.contact || '未填写'}</dd>
            <dt>覆盖区域</dt><dd>${(p.regions || []).join('、') || '未填写'}</dd>
            <dt>能力</dt><dd>${(p.capabilities || []).join('、') || '未填写'}</dd>
            <dt>更新于</dt><dd>${F.dateTime(p.updatedAt)}</dd>
          </dl>
          <p class="pre" style="margin-top:8px">${p.notes || ''}</p>
          <div class="toolbar-actions" style="margin-top:10px"><button type="button" onClick=${() => setEditing(!editing)} aria-expanded=${editing}>编辑档案</button></div>
        </div>
        ${editing ? html`<${ProfileForm} desk=${desk} profile=${p} onCancel=${() => setEditing(false)}
          onSaved=${value => { setEditing(false); profile.replace(value); desk.salesDesk.invalidate(); }} />` : null}`}
      <//>
    </div>`;
  }

  function PartnerCompanies({desk}) {
    const partners = useLoad('partners', () => desk.bridge.sales('partners'));
    return html`<${Loaded} state=${partners} isEmpty=${d => !(d.items || []).length}
      emptyView=${html`<${Empty} title="关系库里还没有伙伴企业" hint="在“客户”里把企业类型设为“伙伴”。" />`}>
      ${d => html`<div class="card"><ul class="list">${d.items.map(c => html`<li key=${c.id}><div class="grow">
        <div class="row-title"><${Link} to=${routeOf('customer', c.id)}>${c.name}</${Link}></div>
        <div class="row-meta">${[c.city, c.industry].filter(Boolean).join(' · ')}${c.contactCount !== undefined ? ` · ${c.contactCount} 位联系人` : ''}</div></div></li>`)}</ul></div>`}
    <//>`;
  }

  let tab = 'profiles';

  function Partners({desk, route}) {
    const [which, setWhich] = useState(tab);
    const [creating, setCreating] = useState(false);
    const profiles = useLoad('ecoProfiles', () => desk.bridge.sales('ecoProfiles'));
    const detail = route.page === 'partner';
    const unavailable = profiles.data && profiles.data.profilesUnavailable;
    const choose = next => { tab = next; setWhich(next); if (detail) desk.navigate('partners'); };
    return html`<div class="page">
      <${Toolbar} title="伙伴">
        ${unavailable ? null : html`<button type="button" class="primary" onClick=${() => setCreating(true)}>新建伙伴档案</button>`}
      <//>
      ${creating ? html`<${ProfileForm} desk=${desk} onCancel=${() => setCreating(false)}
        onSaved=${value => { setCreating(false); profiles.reload(); desk.navigate(routeOf('partner', value.id)); }} />` : null}
      <${Tabs} label="伙伴" current=${which} onChange=${choose} tabs=${[{id: 'profiles', label: '生态伙伴档案'}, {id: 'companies', label: '伙伴企业'}]} />
      ${which === 'companies' ? html`<${PartnerCompanies} desk=${desk} />` : html`<div class=${`split${detail ? ' has-detail' : ''}`}>
        <div class="master"><${Loaded} state=${profiles} isEmpty=${d => d.profilesUnavailable || !(d.items || []).length}
          emptyView=${unavailable ? html`<${Empty} title="服务暂未开放伙伴档案" hint="可以先在“伙伴企业”查看关系库里的伙伴。">
              <button type="button" onClick=${() => choose('companies')}>查看伙伴企业</button><//>`
            : html`<${Empty} title="还没有伙伴档案" hint="点“新建伙伴档案”，记录伙伴的区域和能力。" />`}>
          ${d => html`<div class="card pick" role="list">${d.items.map(p => html`<button type="button" role="listitem" key=${p.id}
            aria-current=${detail && p.id === route.id} onClick=${() => desk.navigate(routeOf('partner', p.id))}>
            <div class="row-title clip">${p.name}</div>
            <div class="row-meta clip">${p.tier} · ${(p.regions || []).join('、')}</div></button>`)}</div>`}
        <//></div>
        ${detail ? html`<${ProfileDetail} desk=${desk} id=${route.id} key=${route.id} />`
          : html`<div class="detail-placeholder"><p class="empty-title">选择一个伙伴</p><p class="empty-hint">查看和更新合作等级、区域与能力。</p></div>`}
      </div>`}
    </div>`;
  }

  K.screens.partners = Partners;
})();
