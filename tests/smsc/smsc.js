#!/usr/bin/env node
// A scriptable SMS centre for the SMPP driver's tests, built on the npm
// package smpp (0.5.1), which nobody here wrote. Test tool only.
//
//   node smsc.js [--port N] [--system-id ID] [--password PW]
//                [--tls-key KEY.pem --tls-cert CERT.pem] [--quiet]
//
// Listens on 127.0.0.1 (port 0: a free one) and prints one JSON object per
// line on stdout; the first is {"event":"listening","port":N}. With a key
// and a certificate it speaks TLS; --quiet leaves out the submit events (for
// the benchmark). Commands
// come one per line on stdin; end of input stops the SMSC.
//
// Commands:
//   receipt ID STAT [ERR] [text|tlv|both]  delivery receipt for message ID
//                                          (default both: the id:... text and
//                                          the receipted_message_id,
//                                          message_state and, for an ERR
//                                          other than 0, network_error_code
//                                          TLVs)
//   auto-receipt STAT|off                  a receipt after every accepted
//                                          submit that asked for one
//   id-base 16|10                          message_id of later answers in
//                                          hexadecimal (the default) or decimal
//   mo FROM TO DCS HEX [ESM]               deliver_sm with short_message HEX
//   mo-payload FROM TO DCS HEX             the same in message_payload
//   mo-sar FROM TO DCS REF TOTAL SEQ HEX   a part with the SAR TLVs
//   flood FROM TO N [HEX [ESM]]            N deliver_sm at once, texts f1..fN
//                                          (or each short_message HEX)
//   throttle N [AFTER]                     the next N submits get ESME_RTHROTTLED
//                                          (after AFTER more are accepted)
//   hold on|off                            keep submit_sm unanswered
//   release                                answer the held ones
//   silent-enquire on|off                  leave enquire_link unanswered
//   raw HEX                                write octets as they are
//   unbind                                 send unbind
//   drop                                   close every connection at once
//
// Events: listening, connect, bind {command, system_id, ok}, submit
// {message_id, destination, dest_ton, dest_npi, source, source_ton,
// data_coding, esm_class, registered_delivery, priority_flag,
// validity_period, schedule_delivery_time, udh, text, payload} (the times as
// the SMPP text, "" none),
// deliver {sequence, source, text} for each deliver_sm of mo, mo-payload,
// mo-sar and flood (text: the short_message as Latin-1), deliver_resp
// {sequence, status}, generic_nack {sequence, status},
// enquire_link, unbind, unbind_resp, close, error {message}.
'use strict';

const smpp = require('smpp');
// The times of a PDU as their SMPP text: the package would turn them into a
// Date, losing whether they were relative and their offset.
require('smpp/lib/defs').filters.time.decode = (value) => value;
const readline = require('readline');

const args = process.argv.slice(2);
function arg(name, fallback) {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
}
const port = Number(arg('--port', '0'));
const systemId = arg('--system-id', 'velquor');
const password = arg('--password', 'secret');
const tlsKey = arg('--tls-key', null);
const tlsCert = arg('--tls-cert', null);
const quiet = args.includes('--quiet');

function emit(event, fields) {
  process.stdout.write(JSON.stringify(Object.assign({event}, fields || {})) + '\n');
}

const sessions = new Set();
const messages = new Map();  // message_id -> {source, destination, text}
let nextId = 0x5A000001;
let idBase = 16;
let throttleLeft = 0;
let throttleAfter = 0;
let hold = false;
let held = [];
let silentEnquire = false;
let autoReceipt = null;

function pad2(n) { return String(n).padStart(2, '0'); }
function smppDate(d) {
  return pad2(d.getUTCFullYear() % 100) + pad2(d.getUTCMonth() + 1) + pad2(d.getUTCDate()) +
      pad2(d.getUTCHours()) + pad2(d.getUTCMinutes());
}
const messageStates = {ENROUTE: 1, DELIVRD: 2, EXPIRED: 3, DELETED: 4, UNDELIV: 5, ACCEPTD: 6, UNKNOWN: 7, REJECTD: 8};

function hex(b) { return b ? Buffer.from(b).toString('hex').toUpperCase() : null; }

// What the library made of the user data: {udh: [Buffer], message: text}
// with UDHI, plain text otherwise.
function describeUserData(value) {
  if (value === undefined || value === null) return {udh: null, text: null};
  if (Buffer.isBuffer(value)) return {udh: null, text: value.toString('latin1')};
  if (typeof value === 'string') return {udh: null, text: value};
  const udh = value.udh ? Buffer.concat(value.udh) : null;
  const message = Buffer.isBuffer(value.message) ? value.message.toString('latin1') : value.message;
  return {udh: udh && udh.length ? hex(udh) : null, text: message};
}

function answerSubmit(session, pdu) {
  if (throttleLeft > 0 && throttleAfter === 0) {
    throttleLeft--;
    session.send(pdu.response({command_status: smpp.ESME_RTHROTTLED}));
    emit('throttled', {sequence: pdu.sequence_number, udh: describeUserData(pdu.short_message).udh});
    return;
  }
  if (throttleLeft > 0) throttleAfter--;
  const id = (nextId++).toString(idBase).toUpperCase();
  const sm = describeUserData(pdu.short_message);
  const payload = describeUserData(pdu.message_payload);
  messages.set(id, {source: pdu.source_addr, destination: pdu.destination_addr, text: sm.text || payload.text || ''});
  session.send(pdu.response({message_id: id}));
  if (!quiet) emit('submit', {
    message_id: id, sequence: pdu.sequence_number,
    destination: pdu.destination_addr, dest_ton: pdu.dest_addr_ton, dest_npi: pdu.dest_addr_npi,
    source: pdu.source_addr, source_ton: pdu.source_addr_ton, source_npi: pdu.source_addr_npi,
    data_coding: pdu.data_coding, esm_class: pdu.esm_class, registered_delivery: pdu.registered_delivery,
    priority_flag: pdu.priority_flag, validity_period: pdu.validity_period || '',
    schedule_delivery_time: pdu.schedule_delivery_time || '', udh: sm.udh, text: sm.text, payload: payload.text, payload_udh: payload.udh,
  });
  if (autoReceipt && (pdu.registered_delivery & 0x03)) {
    sendReceipt(anySession() || session, id, autoReceipt, '000', 'both');
  }
}

function sendReceipt(session, id, stat, err, form) {
  const m = messages.get(id) || {source: '', destination: '', text: ''};
  const now = smppDate(new Date());
  const fields = {
    source_addr: m.destination, dest_addr_ton: 0, destination_addr: m.source,
    esm_class: 0x04, data_coding: 0,
  };
  if (form !== 'tlv') {
    fields.short_message = Buffer.from(`id:${id} sub:001 dlvrd:${stat === 'DELIVRD' ? '001' : '000'} ` +
        `submit date:${now} done date:${now} stat:${stat} err:${err} text:${m.text.substring(0, 20)}`, 'latin1');
  }
  if (form !== 'text') {
    fields.receipted_message_id = id;
    fields.message_state = messageStates[stat] || 7;
    // The error as network_error_code: network type 3 (GSM), then the code in two octets.
    const code = parseInt(err, 10);
    if (code > 0) fields.network_error_code = Buffer.from([3, (code >> 8) & 0xFF, code & 0xFF]);
  }
  session.deliver_sm(fields);
}

function anySession() {
  for (const s of sessions) if (s.bound && s.receives) return s;
  return null;
}

const serverOptions = tlsKey && tlsCert ?
    {key: require('fs').readFileSync(tlsKey), cert: require('fs').readFileSync(tlsCert)} : {};
const server = smpp.createServer(serverOptions, function(session) {
  sessions.add(session);
  emit('connect');
  function bind(pdu) {
    const ok = pdu.system_id === systemId && pdu.password === password;
    const status = pdu.system_id !== systemId ? smpp.ESME_RINVSYSID : smpp.ESME_RINVPASWD;
    session.send(pdu.response(ok ? {system_id: 'NODE-SMSC'} : {command_status: status}));
    session.bound = ok;
    session.receives = pdu.command !== 'bind_transmitter';
    emit('bind', {command: pdu.command, system_id: pdu.system_id, ok});
  }
  session.on('bind_transceiver', bind);
  session.on('bind_transmitter', bind);
  session.on('bind_receiver', bind);
  session.on('submit_sm', function(pdu) {
    if (hold) { held.push([session, pdu]); emit('held', {sequence: pdu.sequence_number}); return; }
    answerSubmit(session, pdu);
  });
  session.on('deliver_sm_resp', function(pdu) {
    emit('deliver_resp', {sequence: pdu.sequence_number, status: pdu.command_status});
  });
  session.on('generic_nack', function(pdu) {
    emit('generic_nack', {sequence: pdu.sequence_number, status: pdu.command_status});
  });
  session.on('enquire_link', function(pdu) {
    emit('enquire_link', {answered: !silentEnquire});
    if (!silentEnquire) session.send(pdu.response());
  });
  session.on('unbind', function(pdu) {
    emit('unbind');
    session.send(pdu.response());
    session.close();
  });
  session.on('unbind_resp', function() { emit('unbind_resp'); session.close(); });
  session.on('close', function() { sessions.delete(session); emit('close'); });
  session.on('error', function(e) { emit('error', {message: String(e && e.message)}); });
});

server.listen(port, '127.0.0.1', function() {
  emit('listening', {port: server.address().port});
});

function deliver(session, fields) {
  const pdu = new smpp.PDU('deliver_sm', fields);
  session.send(pdu);
  const sm = fields.short_message || fields.message_payload;
  emit('deliver', {sequence: pdu.sequence_number, source: fields.source_addr,
                   text: sm ? Buffer.from(sm).toString('latin1') : ''});
}

function command(line) {
  const w = line.trim().split(/\s+/);
  const session = anySession();
  switch (w[0]) {
    case 'receipt':
      if (session) sendReceipt(session, w[1], w[2], w[3] || '000', w[4] || 'both');
      break;
    case 'auto-receipt': autoReceipt = w[1] === 'off' ? null : w[1]; break;
    case 'id-base': idBase = Number(w[1]) === 10 ? 10 : 16; break;
    case 'mo':
    case 'mo-payload':
    case 'mo-sar': {
      if (!session) { emit('error', {message: 'no bound receiver for ' + w[0]}); break; }
      const fields = {source_addr_ton: 1, source_addr_npi: 1, source_addr: w[1], destination_addr: w[2],
                      data_coding: Number(w[3])};
      if (w[0] === 'mo') {
        fields.short_message = Buffer.from(w[4], 'hex');
        fields.esm_class = Number(w[5] || 0);
      } else if (w[0] === 'mo-payload') {
        fields.message_payload = Buffer.from(w[4], 'hex');
      } else {
        fields.sar_msg_ref_num = Number(w[4]);
        fields.sar_total_segments = Number(w[5]);
        fields.sar_segment_seqnum = Number(w[6]);
        fields.short_message = Buffer.from(w[7], 'hex');
      }
      deliver(session, fields);
      break;
    }
    case 'flood': {
      if (!session) { emit('error', {message: 'no bound receiver for flood'}); break; }
      for (let i = 1; i <= Number(w[3]); ++i) {
        deliver(session, {source_addr_ton: 1, source_addr_npi: 1, source_addr: w[1], destination_addr: w[2],
                          data_coding: 0, esm_class: Number(w[5] || 0),
                          short_message: w[4] ? Buffer.from(w[4], 'hex') : Buffer.from('f' + i, 'latin1')});
      }
      break;
    }
    case 'throttle': throttleLeft = Number(w[1]); throttleAfter = Number(w[2] || 0); break;
    case 'hold': hold = w[1] === 'on'; break;
    case 'release': {
      const list = held;
      held = [];
      for (const [s, pdu] of list) answerSubmit(s, pdu);
      break;
    }
    case 'silent-enquire': silentEnquire = w[1] === 'on'; break;
    case 'raw': for (const s of sessions) s.socket.write(Buffer.from(w[1], 'hex')); break;
    case 'unbind': for (const s of sessions) s.unbind(); break;
    case 'drop': held = []; for (const s of sessions) s.destroy(); break;
    case '': break;
    default: emit('error', {message: 'unknown command: ' + w[0]});
  }
  emit('done', {command: w[0]});
}

const input = readline.createInterface({input: process.stdin});
input.on('line', command);
input.on('close', function() {
  for (const s of sessions) s.destroy();
  server.close();
  process.exit(0);
});
