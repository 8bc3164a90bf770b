// 纪要: meeting minutes, read and archived from a file the user picks
// ("meetingFile" reads it, "archive" stores it), and the state when the
// service does not offer minutes.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, useMemo, Loaded, ActionButton, SubmitButton, ErrorNote, Empty, Badge,
    Toolbar, Field, Link, CompanyPicker} = K.ui;
  void ActionButton;
  const F = K.format;
  const {routeOf} = K.router;
  const TEXT_LIMIT = 8000;

  function utf16Length(text) { return text.length; }

  // Choose a minutes file, check what was read, then archive it.
  function ArchiveFlow({desk, companyID, onArchived}) {
    const pick = useAction();
    const save = useAction();
    const [draft, setDraft] = useState(null);
    const choose = () => pick.run(() => desk.bridge.call('meetingFile')).then(outcome => {
      if (!outcome.ok) return;
      save.clear();
      setDraft({title: outcome.value.name || '', text: outcome.value.text || '', companyID: companyID || '',
        date: F.dayKey(new Date()), attendees: ''});
    });
    const set = name => event => {
      const value = event.currentTarget.value;
      setDraft(d => Object.assign({}, d, {[name]: value}));
    };
    const submit = event => {
      event.preventDefault();
      const id = K.tasks.newId();
      const body = {title: draft.title.trim(), text: draft.text, date: draft.date,
        attendees: draft.attendees.split(/[,，、\s]+/).filter(Boolean)};
      if (draft.companyID) body.companyID = draft.companyID;
      save.run(() => desk.bridge.sales('archive', {id, body})).then(outcome => {
        if (!outcome.ok) return;
        setDraft(null);
        desk.salesDesk.invalidate();
        if (onArchived) onArchived(outcome.value);
        desk.navigate(routeOf('minute', id));
      });
    };
    if (!draft) {
      return html`<div class="toolbar-actions">
        <button type="button" class="primary" disabled=${pick.busy} aria-busy=${pick.busy ? 'true' : 'false'} onClick=${choose}>
          ${pick.busy && pick.slow ? html`<${K.ui.Spinner} />` : null}选择纪要文件归档</button>
        ${pick.status === 'error' ? html`<span class="error-text" role="alert">${pick.error}</span>` : null}
      </div>`;
    }
    const length = utf16Length(draft.text);
    return html`<form class="card form" onSubmit=${submit} aria-label="归档纪要">
      <h3 class="wide">归档纪要</h3>
      <${Field} label="标题"><input type="text" required maxlength="120" value=${draft.title} onInput=${set('title')} /><//>
      <${Field} label="会议日期"><input type="date" value=${draft.date} onInput=${set('date')} /><//>
      ${companyID ? null : html`<${CompanyPicker} value=${draft.companyID} onChange=${id => setDraft(d => Object.assign({}, d, {companyID: id}))} />`}
      <${Field} label="参会人" hint="用逗号或顿号分隔"><input type="text" value=${draft.attendees} onInput=${set('attendees')} /><//>
      <div class="wide"><${Field} label="纪要正文" hint=${`${length} / ${TEXT_LIMIT} 字符`}>
        <textarea rows="8" value=${draft.text} onInput=${set('text')}></textarea><//></div>
      <div class="form-actions">
        <${SubmitButton} action=${save} disabled=${!draft.title.trim() || !draft.text.trim() || length > TEXT_LIMIT}>归档</${SubmitButton}>
        <button type="button" onClick=${() => setDraft(null)}>放弃</button>
        <${ErrorNote} text=${save.status === 'error' ? save.error : length > TEXT_LIMIT ? '单份纪要限 8000 字符，请删减后再归档。' : ''} />
      </div>
    </form>`;
  }

  const UNAVAILABLE = html`<${Empty} title="服务暂未开放会议纪要"
    hint="纪要功能开放后即可在这里查看和归档。现在可以把纪要作为任务附件交给助手整理。">
    <button type="button" onClick=${() => window.navigate('tasks')}>去任务</button><//>`;

  function MinuteList({desk, selected}) {
    const minutes = useLoad('minutes', () => desk.bridge.sales('minutes'));
    return html`<div class="pane master">
      <${Loaded} state=${minutes} isEmpty=${d => d.minutesUnavailable || !(d.items || []).length}
        emptyView=${minutes.data && minutes.data.minutesUnavailable ? UNAVAILABLE
          : html`<${Empty} title="还没有会议纪要" hint="会后点“选择纪要文件归档”，把纪要存进关系库。" />`}>
        ${d => html`<div class="card pick" role="list">${d.items.map(m => html`<button type="button" role="listitem" key=${m.id}
            aria-current=${m.id === selected} onClick=${() => desk.navigate(routeOf('minute', m.id))}>
            <div class="row-title clip">${m.title}</div>
            <div class="row-meta clip">${F.day(m.date)} · ${m.companyName || '未关联企业'}${m.archived ? '' : ' · 未归档'}</div></button>`)}</div>`}
      <//>
    </div>`;
  }

  function MinuteDetail({desk, id}) {
    const minute = useLoad(`minute:${id}`, () => desk.bridge.sales('minute', {id}));
    const archive = useAction();
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('minutes')}>← 返回纪要</button>
      <${Loaded} state=${minute}>${m => html`<article class="card">
        <div class="card-head"><h2>${m.title}</h2>${m.archived ? html`<${Badge} tone="good">已归档</${Badge}>` : html`<${Badge} tone="warn">未归档</${Badge}>`}</div>
        <dl class="kv">
          <dt>企业</dt><dd>${m.companyID ? html`<${Link} to=${routeOf('customer', m.companyID, 'minutes')}>${m.companyName || '查看企业'}</${Link}>` : '未关联'}</dd>
          <dt>日期</dt><dd>${F.day(m.date) || '未填写'}</dd>
          <dt>参会人</dt><dd>${(m.attendees || []).join('、') || '未填写'}</dd>
          ${m.opportunityID ? html`<dt>商机</dt><dd><${Link} to=${routeOf('opportunity', m.opportunityID)}>查看商机</${Link}></dd>` : null}
        </dl>
        <p class="pre" style="margin-top:12px">${m.text}</p>
        ${m.archived ? null : html`<div class="toolbar-actions" style="margin-top:12px">
          <${ActionButton} action=${archive} kind="primary" run=${() => desk.bridge.sales('archive', {id: m.id, body: {title: m.title, text: m.text}})}
            onDone=${value => minute.replace(value)}>归档这份纪要</${ActionButton}>
          <${ErrorNote} text=${archive.status === 'error' ? archive.error : ''} /></div>`}
      </article>`}<//>
    </div>`;
  }

  function Minutes({desk, route}) {
    const detail = route.page === 'minute';
    return html`<div class="page fill">
      <${Toolbar} title="会议纪要" sub="会后归档，随时回看" />
      <${ArchiveFlow} desk=${desk} />
      <div class=${`split${detail ? ' has-detail' : ''}`}>
        <div class="scroll"><${MinuteList} desk=${desk} selected=${detail ? route.id : null} /></div>
        ${detail ? html`<div class="scroll"><${MinuteDetail} desk=${desk} id=${route.id} key=${route.id} /></div>`
          : html`<div class="detail-placeholder"><p class="empty-title">选择一份纪要</p><p class="empty-hint">阅读全文，或把未归档的纪要归档。</p></div>`}
      </div>
    </div>`;
  }

  K.screens.minutes = Minutes;
  K.minuteKit = {ArchiveFlow};
})();
