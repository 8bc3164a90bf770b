// 对话与助手: saved conversations (read, continue with a question to the
// service, each turn saved), and the agent: its status and turns, each turn
// sent with a fresh turn id.
(function () {
  'use strict';
  const K = window.KorvidDesk;
  const {html, useLoad, useAction, useState, useEffect, useRef, Loaded, SubmitButton, ErrorNote, Empty, Badge,
    Toolbar, Tabs, Link} = K.ui;
  const F = K.format;
  const {routeOf} = K.router;

  function Turns({turns}) {
    const end = useRef(null);
    useEffect(() => { if (end.current) end.current.scrollIntoView({block: 'nearest'}); }, [turns.length]);
    return html`<div class="turns" aria-live="polite">${turns.map((t, i) => html`<div key=${i} class=${`turn ${t.role}`}>
      ${t.text}<div class="row-meta">${t.role === 'user' ? '我' : '助手'} · ${F.dateTime(t.at)}</div></div>`)}<span ref=${end}></span></div>`;
  }

  // Asks the service and keeps both sides of the turn in the conversation.
  function Composer({desk, id, onSaved, placeholder}) {
    const [text, setText] = useState('');
    const send = useAction();
    const submit = event => {
      event.preventDefault();
      const question = text.trim();
      send.run(async () => {
        await desk.bridge.sales('turnSave', {id, body: {role: 'user', text: question}});
        const answer = await desk.bridge.sales('ask', {body: {question}});
        return desk.bridge.sales('turnSave', {id, body: {role: 'assistant', text: answer.answer || '没有得到回答。'}});
      }).then(outcome => {
        if (outcome.ok) { setText(''); onSaved(outcome.value); }
      });
    };
    const key = event => { if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) submit(event); };
    return html`<form class="card form" onSubmit=${submit} aria-label="提问">
      <div class="wide"><textarea rows="3" maxlength="2000" aria-label="问题" value=${text} placeholder=${placeholder}
        onInput=${e => setText(e.currentTarget.value)} onKeyDown=${key}></textarea></div>
      <div class="form-actions"><${SubmitButton} action=${send} disabled=${!text.trim()}>发送</${SubmitButton}>
        <span class="muted small">Ctrl+Enter 发送</span>
        <${ErrorNote} text=${send.status === 'error' ? send.error : ''} /></div>
    </form>`;
  }

  function Conversation({desk, id}) {
    const conversation = useLoad(`conversation:${id}`, () => desk.bridge.sales('conversation', {id}));
    const saved = value => { conversation.replace(value); desk.salesDesk.invalidate(); };
    return html`<div class="pane">
      <button type="button" class="back only-narrow" onClick=${() => desk.navigate('chat')}>← 返回对话</button>
      <${Loaded} state=${conversation}>${c => html`
        <div class="card"><div class="card-head"><h2 class="clip">${c.title}</h2>
          ${c.companyID ? html`<${Link} to=${routeOf('customer', c.companyID)}>查看客户</${Link}>` : null}</div>
          ${(c.turns || []).length ? html`<${Turns} turns=${c.turns} />` : html`<p class="muted">还没有内容。</p>`}</div>
        <${Composer} desk=${desk} id=${c.id} onSaved=${saved} placeholder="继续追问，例如：客户的预算在哪个部门？" />`}
      <//>
    </div>`;
  }

  function NewConversation({desk, onCancel}) {
    const [id] = useState(() => K.tasks.newId());
    return html`<div class="pane"><div class="card"><div class="card-head"><h3>新对话</h3><button type="button" onClick=${onCancel}>取消</button></div>
      <p class="muted">提一个销售问题；回答会连同问题一起保存为对话。</p></div>
      <${Composer} desk=${desk} id=${id} placeholder="例如：客户嫌报价偏高，该怎么拆分？"
        onSaved=${() => { onCancel(); desk.salesDesk.invalidate(); desk.navigate(routeOf('conversation', id)); }} /></div>`;
  }

  // The agent session of this account on this machine.
  function agentSession(owner) {
    const key = `korvid.desk.agent.${owner}`;
    let id = null;
    try { id = localStorage.getItem(key); } catch { id = null; }
    if (!id || !/^[0-9a-f-]{36}$/i.test(id)) {
      id = K.tasks.newId();
      try { localStorage.setItem(key, id); } catch { /* kept for this page only */ }
    }
    return id;
  }

  const AGENT_STATES = {running: ['处理中', 'accent'], done: ['已完成', 'good'], idle: ['空闲', '']};

  function Assistant({desk}) {
    const owner = desk.account.value.id;
    const [id] = useState(() => agentSession(owner));
    const status = useLoad(`agent:${id}`, () => desk.bridge.sales('agentStatus', {id}));
    const send = useAction();
    const [text, setText] = useState('');
    const [pendingTurn, setPendingTurn] = useState(null);
    const running = status.data && status.data.state === 'running';
    // While a turn runs, ask again every two seconds.
    useEffect(() => {
      if (!running) return undefined;
      const timer = setTimeout(() => status.reload(), 2000);
      return () => clearTimeout(timer);
    }, [running, status.data]);
    const submit = event => {
      event.preventDefault();
      // A new turn gets a new id; sending the same turn again after a
      // failure keeps its id, so the service never runs it twice.
      const turn = pendingTurn && pendingTurn.text === text.trim() ? pendingTurn : {id: K.tasks.newId(), text: text.trim()};
      setPendingTurn(turn);
      send.run(() => desk.bridge.sales('agentTurn', {id, turn: turn.id, body: {text: turn.text}})).then(outcome => {
        if (!outcome.ok) return;
        setPendingTurn(null);
        setText('');
        status.reload();
      });
    };
    return html`<div class="pane">
      <div class="card"><div class="card-head"><h3>销售助手</h3>
        ${status.data ? html`<${Badge} tone=${(AGENT_STATES[status.data.state] || ['', ''])[1]}>${(AGENT_STATES[status.data.state] || [status.data.state])[0]}</${Badge}>` : null}</div>
        <${Loaded} state=${status} isEmpty=${d => !(d.turns || []).length}
          emptyView=${html`<${Empty} title="还没有和助手交谈" hint="交代一件事，例如“帮我整理今天的纪要行动项”。" />`}>
          ${d => html`<div class="turns">${d.turns.map(t => html`<${K.ui.Fragment} key=${t.turn}>
            <div class="turn user">${t.input}<div class="row-meta">我 · ${F.dateTime(t.startedAt)}</div></div>
            <div class="turn">${t.state === 'done' ? t.reply : html`<span class="muted"><${K.ui.Spinner} /> 助手正在处理…</span>`}</div>
          <//>`)}</div>`}
        <//></div>
      <form class="card form" onSubmit=${submit} aria-label="交代助手">
        <div class="wide"><textarea rows="3" maxlength="4000" aria-label="交代助手" value=${text} placeholder="交代助手一件事"
          onInput=${e => setText(e.currentTarget.value)}></textarea></div>
        <div class="form-actions"><${SubmitButton} action=${send} disabled=${!text.trim()}>交给助手</${SubmitButton}>
          <${ErrorNote} text=${send.status === 'error' ? send.error : ''} /></div>
      </form>
    </div>`;
  }

  function Chat({desk, route}) {
    const conversations = useLoad('conversations', () => desk.bridge.sales('conversations'));
    const [creating, setCreating] = useState(false);
    const tab = route.page === 'assistant' ? 'assistant' : 'conversations';
    const selected = route.page === 'conversation' ? route.id : null;
    return html`<div class="page">
      <${Toolbar} title="对话与助手">
        ${tab === 'conversations' ? html`<button type="button" class="primary" onClick=${() => { setCreating(true); if (selected) desk.navigate('chat'); }}>新对话</button>` : null}
      <//>
      <${Tabs} label="对话与助手" current=${tab} onChange=${next => desk.navigate(next === 'assistant' ? 'assistant' : 'chat')}
        tabs=${[{id: 'conversations', label: '对话'}, {id: 'assistant', label: '助手'}]} />
      ${tab === 'assistant' ? (desk.account.value ? html`<${Assistant} desk=${desk} key=${desk.account.value.id} />`
        : html`<div class="loading-block" aria-busy="true"></div>`) : html`<div class=${`split${selected || creating ? ' has-detail' : ''}`}>
        <div class="master"><${Loaded} state=${conversations} isEmpty=${d => !(d.items || []).length}
          emptyView=${html`<${Empty} title="还没有对话" hint="点“新对话”，向助手提一个销售问题。" />`}>
          ${d => html`<div class="card pick" role="list">${d.items.map(c => html`<button type="button" role="listitem" key=${c.id}
            aria-current=${c.id === selected} onClick=${() => { setCreating(false); desk.navigate(routeOf('conversation', c.id)); }}>
            <div class="row-title clip">${c.title}</div><div class="row-meta clip">${c.lastText || ''}</div></button>`)}</div>`}
        <//></div>
        ${creating ? html`<${NewConversation} desk=${desk} onCancel=${() => setCreating(false)} />`
          : selected ? html`<${Conversation} desk=${desk} id=${selected} key=${selected} />`
          : html`<div class="detail-placeholder"><p class="empty-title">选择一个对话</p><p class="empty-hint">回看助手的建议，或继续追问。</p></div>`}
      </div>`}
    </div>`;
  }

  K.screens.chat = Chat;
})();
