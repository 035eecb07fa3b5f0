#!/usr/bin/env node
// An SMPP client (ESME) for velquor-smppd's tests, built on the npm package
// smpp (0.5.1, installed in tests/smsc), which nobody here wrote. Test tool
// only.
//
//   node client.js --port N [--host H] [--system-id ID] [--password PW]
//                  [--binds trx|tx-rx] [--count N] [--kinds text,ucs2,concat]
//                  [--to NUMBER] [--from ADDR] [--registered-delivery 0|1]
//                  [--window W] [--deadline SECONDS] [--expect-receipts R]
//
// Binds as a transceiver (trx, the default) or as a transmitter and a
// receiver on two connections (tx-rx), then submits N messages (default 3),
// their kinds in turn from --kinds: "text" (data_coding 0), "ucs2"
// (data_coding 8, UCS-2 big endian), "concat" (a message of two parts, each a
// submit_sm with esm_class 0x40 and a UDH of reference, total and number).
// At most W submits (default 10) wait for their answers at a time. Every
// deliver_sm is answered deliver_sm_resp 0.
//
// Prints one JSON object per line on standard output:
//   {"event":"bound","command":...,"status":N}
//   {"event":"submit_resp","index":I,"kind":K,"part":P,"parts":T,"status":N,"message_id":ID}
//   {"event":"deliver","esm_class":E,"source":...,"destination":...,"text":...,
//    "receipted_message_id":...,"message_state":N}
//   {"event":"done","submitted":S,"accepted":A,"receipts":R,"complete":true|false}
// and exits 0 once every accepted submit that asked for a receipt has one
// (or, without receipts, once every submit is answered; with
// --expect-receipts, once R receipts came: those of an earlier run with
// --count 0), 1 at the deadline
// (default 60 s), when a bind fails or when the server closes a connection.
'use strict';

const path = require('path');
const smpp = require(path.join(__dirname, '..', 'smsc', 'node_modules', 'smpp'));

const args = process.argv.slice(2);
function arg(name, fallback) {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
}
const host = arg('--host', '127.0.0.1');
const port = Number(arg('--port', '2775'));
const systemId = arg('--system-id', 'client');
const password = arg('--password', 'secret');
const binds = arg('--binds', 'trx');
const count = Number(arg('--count', '3'));
const kinds = arg('--kinds', 'text,ucs2,concat').split(',');
const to = arg('--to', '447700900123');
const from = arg('--from', '12345');
const registered = Number(arg('--registered-delivery', '1'));
const window = Math.max(1, Number(arg('--window', '10')));
const deadline = Number(arg('--deadline', '60'));
// Receipts to wait for; by default one per accepted submit that asked.
const expectReceipts = Number(arg('--expect-receipts', '-1'));

function emit(event, fields) {
  process.stdout.write(JSON.stringify(Object.assign({event}, fields || {})) + '\n');
}

// The submit_sm of every message, in order.
const submits = [];
for (let i = 0; i < count; ++i) {
  const kind = kinds[i % kinds.length];
  const text = `Message ${i + 1} from ${systemId}`;
  if (kind === 'ucs2') {
    const utf16 = Buffer.from(`Grüße ${i + 1} Ωμέγα`, 'utf16le').swap16();
    submits.push({index: i, kind, part: 1, parts: 1, fields: {data_coding: 8, short_message: utf16}});
  } else if (kind === 'concat') {
    const reference = (i + 1) & 0xFF;
    const parts = [`Part one of message ${i + 1}, `, 'and part two.'];
    parts.forEach(function(body, n) {
      const udh = Buffer.from([0x05, 0x00, 0x03, reference, parts.length, n + 1]);
      submits.push({index: i, kind, part: n + 1, parts: parts.length,
                    fields: {data_coding: 0, esm_class: 0x40,
                             short_message: Buffer.concat([udh, Buffer.from(body, 'latin1')])}});
    });
  } else {
    submits.push({index: i, kind: 'text', part: 1, parts: 1,
                  fields: {data_coding: 0, short_message: Buffer.from(text, 'latin1')}});
  }
}

let transmitter = null;
let next = 0;
let waiting = 0;
let answered = 0;
let accepted = 0;
let receipts = 0;
let finished = false;

function finish(complete) {
  if (finished) return;
  finished = true;
  emit('done', {submitted: answered, accepted, receipts, complete});
  const sessions = new Set([transmitter, receiver].filter(Boolean));
  let left = sessions.size;
  const exit = function() { process.exit(complete ? 0 : 1); };
  if (!complete || left === 0) return exit();
  setTimeout(exit, 2000);  // an unbind that is not answered
  for (const s of sessions) {
    s.unbind(function() {
      s.close();
      if (--left === 0) exit();
    });
  }
}

function check() {
  if (answered < submits.length) return;
  const wanted = expectReceipts >= 0 ? expectReceipts : registered & 0x03 ? accepted : 0;
  if (receipts >= wanted) finish(true);
}

function pump() {
  while (transmitter && next < submits.length && waiting < window) {
    const s = submits[next++];
    ++waiting;
    transmitter.submit_sm(Object.assign({
      source_addr_ton: 0, source_addr_npi: 0, source_addr: from,
      dest_addr_ton: 1, dest_addr_npi: 1, destination_addr: to,
      registered_delivery: registered,
    }, s.fields), function(pdu) {
      --waiting;
      ++answered;
      if (pdu.command_status === 0) ++accepted;
      emit('submit_resp', {index: s.index, kind: s.kind, part: s.part, parts: s.parts,
                           status: pdu.command_status, message_id: pdu.message_id});
      pump();
      check();
    });
  }
}

function onDeliver(session) {
  session.on('deliver_sm', function(pdu) {
    session.send(pdu.response());
    const sm = pdu.short_message;
    let text = '';
    if (sm && typeof sm === 'object' && 'message' in sm) {
      text = Buffer.isBuffer(sm.message) ? sm.message.toString('latin1') : String(sm.message);
    } else if (Buffer.isBuffer(sm)) {
      text = sm.toString('latin1');
    } else if (typeof sm === 'string') {
      text = sm;
    }
    const receipt = (pdu.esm_class & 0x3C) === 0x04;
    if (receipt) ++receipts;
    emit('deliver', {esm_class: pdu.esm_class, source: pdu.source_addr, destination: pdu.destination_addr,
                     text, receipted_message_id: pdu.receipted_message_id === undefined ? null :
                         String(pdu.receipted_message_id).replace(/\0+$/, ''),
                     message_state: pdu.message_state === undefined ? null : pdu.message_state});
    check();
  });
  session.on('enquire_link', function(pdu) { session.send(pdu.response()); });
  session.on('unbind', function(pdu) {
    session.send(pdu.response());
    emit('unbound');
  });
  session.on('error', function(e) { emit('error', {message: String(e && e.message)}); });
  // The server went away: what was answered is all there is.
  session.on('close', function() {
    if (finished) return;
    emit('close');
    finish(false);
  });
}

function bind(command, then) {
  const session = smpp.connect({host, port});
  onDeliver(session);
  session.on('connect', function() {
    session[command]({system_id: systemId, password}, function(pdu) {
      emit('bound', {command, status: pdu.command_status});
      if (pdu.command_status !== 0) return finish(false);
      then(session);
    });
  });
  return session;
}

let receiver = null;
if (binds === 'tx-rx') {
  receiver = bind('bind_receiver', function() {
    bind('bind_transmitter', function(session) {
      transmitter = session;
      pump();
      check();
    });
  });
} else {
  bind('bind_transceiver', function(session) {
    transmitter = session;
    receiver = session;
    pump();
    check();
  });
}

setTimeout(function() { finish(false); }, deadline * 1000);
