// 活动: event sessions and their attendee lists: check the list against the
// library, confirm attendance, turn an attendee into an opportunity, keep
// notes; read a poster or material ("eventFile"); and, when the service
// offers no sessions, its plain event list.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, Loaded, ActionButton, SubmitButton, ErrorNote, Empty, Badge, Toolbar,
    Field, Link} = K.ui;
  const F = K.format;
  const {routeOf} = K.router;

  const STATUS = {pending: ['待确认', 'warn'], confirmed: ['已确认', 'accent'], converted: ['已转商机', 'good']};

  // A poster or material read on this machine.
  function Material({desk}) {
    const read = useAction();
    return html`<section class="card" aria-labelledby="event-material">
      <div class="card-head"><h3 id="event-material">活动资料</h3>
        <${ActionButton} action=${read} run=${() => desk.bridge.call('eventFile')}>读取海报或资料</${ActionButton}></div>
      ${read.status === 'error' ? html`<${ErrorNote} text=${read.error} />`
        : read.data ? html`<div><p class="row-title">${read.data.name}</p><p class="row-meta">${read.data.method}</p>
            <p class="pre" style="margin-top:6px;max-height:240px;overflow:auto">${read.data.excerpt || '没有读到文字。'}</p></div>`
        : html`<p class="muted">选择海报图片、PDF 或文本，在本机读出文字，用来核对活动信息。</p>`}
    </section>`;
  }

  function Attendees({desk, session, onChanged}) {
    const check = useAction();
    const confirm = useAction();
    const convert = useAction();
    const [chosen, setChosen] = useState(() => new Set());
    const [converted, setConverted] = useState(null);
    const matches = check.data && Array.isArray(check.data.items)
      ? new Map(check.data.items.map(item => [item.id, item])) : null;
    const pending = (session.attendees || []).filter(a => a.status === 'pending');
    const toggle = id => {
      const next = new Set(chosen);
      if (next.has(id)) next.delete(id); else next.add(id);
      setChosen(next);
    };
    const convertOne = attendee => convert.run(() => desk.bridge.sales('eventConvert', {body: {id: session.id, attendeeID: attendee.id}}))
      .then(outcome => {
        if (!outcome.ok) return;
        setConverted(outcome.value.opportunity);
        onChanged(outcome.value.session);
        desk.salesDesk.invalidate();
      });
    return html`<section class="card" aria-labelledby="event-attendees">
      <div class="card-head"><h3 id="event-attendees">参会名单</h3>
        <div class="toolbar-actions">
          <${ActionButton} action=${check} run=${() => desk.bridge.sales('eventCheck', {body: {id: session.id}})}>与关系库核对</${ActionButton}>
          <${ActionButton} action=${confirm} kind="primary" disabled=${!chosen.size}
            run=${() => desk.bridge.sales('eventConfirm', {body: {id: session.id, attendeeIDs: [...chosen]}})}
            onDone=${value => { setChosen(new Set()); onChanged(value); }}>确认所选</${ActionButton}>
        </div></div>
      ${[check, confirm, convert].map(a => a.status === 'error' ? html`<${ErrorNote} text=${a.error} />` : null)}
      ${converted ? html`<p class="note">已生成商机 <${Link} to=${routeOf('opportunity', converted.id)}>${converted.title}</${Link}>。</p>` : null}
      ${(session.attendees || []).length ? html`<ul class="list">${session.attendees.map(a => {
        const status = STATUS[a.status] || [a.status, ''];
        const match = matches && matches.get(a.id);
        return html`<li key=${a.id}>
          ${a.status === 'pending' ? html`<input type="checkbox" aria-label=${`选择 ${a.name}`} checked=${chosen.has(a.id)} onChange=${() => toggle(a.id)} />` : html`<span style="width:13px"></span>`}
          <div class="grow"><div class="row-title">${a.name} <span class="muted small">${a.title || ''}</span></div>
            <div class="row-meta">${a.company}${match ? (match.result === 'matched'
              ? html` · <${Link} to=${routeOf('customer', match.match.companyID)}>关系库已有</${Link}>` : ' · 关系库没有这家企业') : ''}</div></div>
          <${Badge} tone=${status[1]}>${status[0]}</${Badge}>
          ${a.status === 'converted' && a.opportunityID ? html`<${Link} to=${routeOf('opportunity', a.opportunityID)}>查看商机</${Link}>`
            : html`<button type="button" disabled=${convert.busy} onClick=${() => convertOne(a)}>转为商机</button>`}
        </li>`;
      })}</ul>` : html`<p class="muted">名单还是空的。</p>`}
      ${pending.length ? html`<p class="muted small" style="margin-top:8px">勾选待确认的参会人后点“确认所选”。</p>` : null}
    </section>`;
  }

  function Notes({desk, session, onChanged}) {
    const [text, setText] = useState('');
    const save = useAction();
    const submit = event => {
      event.preventDefault();
      save.run(() => desk.bridge.sales('eventNote', {body: {id: session.id, text: text.trim()}})).then(outcome => {
        if (outcome.ok) { setText(''); onChanged(outcome.value); }
      });
    };
    return html`<section class="card" aria-labelledby="event-notes">
      <div class="card-head"><h3 id="event-notes">现场记录</h3></div>
      <form class="form" onSubmit=${submit}>
        <div class="wide"><${Field} label="新记录"><textarea rows="2" maxlength="2000" value=${text} onInput=${e => setText(e.currentTarget.value)}
          placeholder="展位上听到的需求、约定的回访"></textarea><//></div>
        <div class="form-actions"><${SubmitButton} action=${save} disabled=${!text.trim()}>添加记录</${SubmitButton}>
          <${ErrorNote} text=${save.status === 'error' ? save.error : ''} /></div>
      </form>
      <ul class="list" style="margin-top:10px">${(session.notes || []).slice().reverse().map(n => html`<li key=${n.id}><div class="grow">
        <div class="pre">${n.text}</div><div class="row-meta">${n.by || ''} · ${F.dateTime(n.at)}</div></div></li>`)}</ul>
    </section>`;
  }

  function SessionDetail({desk, id}) {
    const session = useLoad(`eventSession:${id}`, () => desk.bridge.sales('eventSession', {id}));
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('events')}>← 返回活动</button>
      <${Loaded} state=${session}>${s => html`
        <div class="card"><div class="card-head"><h2 class="clip">${s.title}</h2><${Badge}>${F.day(s.date)}</${Badge}></div>
          <p class="muted">${s.eventName} · ${s.location || ''}</p></div>
        <${Attendees} desk=${desk} session=${s} onChanged=${value => session.replace(value)} />
        <${Notes} desk=${desk} session=${s} onChanged=${value => session.replace(value)} />`}
      <//>
    </div>`;
  }

  function Events({desk, route}) {
    const sessions = useLoad('eventSessions', () => desk.bridge.sales('eventSessions'));
    const detail = route.page === 'event';
    const fallback = sessions.data && sessions.data.sourcesUnavailable;
    return html`<div class="page">
      <${Toolbar} title="活动" sub=${fallback ? '活动日程' : '场次与参会名单'} />
      ${fallback ? html`<p class="note warn">服务暂未开放活动场次，下面是活动日程；名单核对与转化开放后可用。</p>` : null}
      <div class=${`split${detail ? ' has-detail' : ''}`}>
        <div class="master pane">
          <${Loaded} state=${sessions} isEmpty=${d => !(d.items || []).length}
            emptyView=${html`<${Empty} title="近期没有活动" hint="活动发布后，场次和名单会出现在这里。" />`}>
            ${d => fallback
              ? html`<div class="card"><ul class="list">${d.items.map(e => html`<li key=${e.id}><div class="grow">
                  <div class="row-title">${e.name || e.title}</div><div class="row-meta">${F.day(e.date)} · ${[e.city, e.venue].filter(Boolean).join(' · ')}</div></div></li>`)}</ul></div>`
              : html`<div class="card pick" role="list">${d.items.map(s => {
                  const waiting = (s.attendees || []).filter(a => a.status === 'pending').length;
                  return html`<button type="button" role="listitem" key=${s.id} aria-current=${detail && s.id === route.id}
                    onClick=${() => desk.navigate(routeOf('event', s.id))}>
                    <div class="row-title clip">${s.eventName} · ${s.title}</div>
                    <div class="row-meta clip">${F.day(s.date)} · ${(s.attendees || []).length} 人${waiting ? `，${waiting} 人待确认` : ''}</div></button>`;
                })}</div>`}
          <//>
          <${Material} desk=${desk} />
        </div>
        ${detail ? html`<${SessionDetail} desk=${desk} id=${route.id} key=${route.id} />`
          : html`<div class="detail-placeholder"><p class="empty-title">选择一个场次</p><p class="empty-hint">核对名单、确认参会、把线索转为商机。</p></div>`}
      </div>
    </div>`;
  }

  K.screens.events = Events;
})();
