#!/usr/bin/env node
// A GSM modem for the modem driver's tests: it speaks the AT dialogue in PDU
// mode on its standard input and output, which modem_emulator.h connects to
// the master side of a pseudo-terminal, so a serial driver (or Gammu) opens
// the slave like a real device. A JSON control socket lets a test play the
// network and the SIM. PDUs are read and written with the npm package
// node-pdu (pdu_json.js), not with the gateway's codec. Test tool only.
//
//   node emulator.js --control <unix socket path> [--state <file>]
//                    [--pin 1234] [--puk 12345678] [--creg 1] [--csq 20,99]
//                    [--smsc +4917000000] [--mr 0] [--store-size 20]
//                    [--echo 1] [--csms 0]
//
// --csms 1 starts the modem with message service 1 (AT+CSMS=1), as some
// modems do: every +CMT and +CDS must then be acknowledged with AT+CNMA
// within ackTimeoutMs (2000), or the modem turns that routing off (AT+CNMI
// <mt> and <ds> to 0) and stores later messages and reports without a word.
//
// To try the engine's modem driver by hand, run it on a pseudo-terminal of
// its own (run tests/modem's `npm ci` first, e.g. by scripts/setup.sh); this
// prints the device to give as the handset's Device and keeps it open while
// engines come and go:
//
//   python3 -c 'import os, pty, subprocess, sys, tty
//   master, slave = pty.openpty()
//   tty.setraw(slave)
//   print(os.ttyname(slave), flush=True)
//   subprocess.run(["node", "tests/modem/emulator.js"] + sys.argv[1:], stdin=master, stdout=master)' \
//     --control /tmp/velquor-modem.ctl
//
//   velquor config set --handset 1 Driver modem
//   velquor config set --handset 1 Device /dev/pts/N      # the line it printed
//   python3 -c 'import socket, sys; s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])
//   s.sendall(sys.argv[2].encode() + b"\n"); print(s.recv(65536).decode())' \
//     /tmp/velquor-modem.ctl '{"cmd":"deliver","from":"+4915112345678","text":"hi"}'
//
// It ends on {"cmd":"disconnect"} or Ctrl-C.
//
// --state keeps the SIM store, references and settings in a file, so a
// second emulator started on it (a USB modem that came back) has them.
// The emulator prints AT traffic to stderr and exits when its input ends,
// on "disconnect", or on SIGTERM.
//
// AT commands (one per line, ended by CR; several after one AT joined by
// ";"; errors as +CME ERROR / +CMS ERROR, numeric or verbose by AT+CMEE):
//   AT  ATZ  AT&F  ATE0/ATE1  ATV1  ATQ0  AT&C  AT&D  ATI  ATS0=n
//   AT+CMEE=0|1|2, ?        AT+CMGF=0 (1: +CMS ERROR 303), ?, =?
//   AT+CPIN?  AT+CPIN="pin"  AT+CPIN="puk","newpin"
//                           wrong PIN: +CME ERROR 16; after 3 the SIM wants
//                           its PUK (+CPIN: SIM PUK); a wrong PIN never unlocks
//   AT+CREG=n, ?            (+CREG: n,stat; with n=1 unsolicited +CREG: stat)
//   AT+CSQ  AT+CSCA?  AT+CSCA="num"[,type]  AT+CSMS=0|1, ?  AT+CSCS=..., ?
//   AT+CNMI=mode,mt,bm,ds,bfr, ?, =?
//                           mt 1: +CMTI: "SM",i for a stored message;
//                           mt 2/3: +CMT: ,len + PDU (not stored);
//                           ds 1: +CDS: len + PDU; ds 2: stored, +CDSI: "SM",i
//   AT+CPMS="SM"[,...], ?, =?   (one store; "ME"/"MT" name the same)
//   AT+CMGS=len             "> " prompt, then the PDU (hex, SMSC prefix
//                           included) and Ctrl-Z, or Esc to cancel;
//                           +CMGS: mr with mr counting 0..255 and wrapping.
//                           Errors: 304 bad PDU or length, 311/310 SIM,
//                           331 not registered.
//   AT+CMGL=stat (0..4)  AT+CMGR=i  AT+CMGD=i[,flag]
//   AT+CNMA                 acknowledges the last +CMT/+CDS (+CMS ERROR 340
//                           when none waits for it)
//   AT+CGMI AT+CGMM AT+CGMR AT+CGSN AT+CIMI (and +GMI +GMM +GMR +GSN)
//   AT+CFUN? AT+COPS? AT+CBC AT+CSCB? AT+CLIP?  ... answered as a modem would
// Anything else: ERROR.
//
// Control socket: one JSON object per line, each answered by one line,
// {"ok":true,...} or {"ok":false,"error":"..."}:
//   {"cmd":"status"}              pin state, registration, references, store
//   {"cmd":"deliver", fields...}  an SMS-DELIVER arrives (pdu_json.js
//                                 encodeDeliver: from, alphabet, text,
//                                 dataHex, dcs, udh, concat, time,
//                                 zoneMinutes, smsc, pid) or {"raw":"hex"};
//                                 stored (+CMTI) or shown (+CMT) as AT+CNMI
//                                 says -> {index, pdu}
//   {"cmd":"report","mr":n,"status":st, "recipient":..., "stored":bool}
//                                 a status report for reference n, as +CDS
//                                 or stored (+CDSI) per AT+CNMI ds, or
//                                 stored when "stored" is true -> {pdu, index}
//   {"cmd":"set", "pin":"1234"|null, "puk":..., "creg":stat, "csq":[r,b],
//    "smsc":"+..", "mr":n, "autoReport":st|null, "delayMs":n, "csms":0|1,
//    "ackTimeoutMs":n}
//                                 autoReport: a report with status st
//                                 follows every submit that asks for one;
//                                 delayMs: every final answer comes that late
//   {"cmd":"fail","command":"CMGD","code":322,"count":1,"kind":"CMS"}
//                                 the next count commands of that name
//                                 (CMGD, CMGF, CMGR, ...) fail with +CMS
//                                 ERROR code (kind "CME": +CME ERROR)
//   {"cmd":"storm","count":n,"index":i}
//                                 n +CMTI indications as fast as the line
//                                 takes them, all for slot i (default: slot
//                                 1 up to the store size, in turn)
//   {"cmd":"raw","text":"..."}    writes the text to the terminal as it is
//                                 (odd unsolicited lines, a "RING", noise)
//   {"cmd":"misbehave","mode":m, "code":n, "count":n}
//                                 m: "none"; "silent" (read, never answer,
//                                 send nothing);
//                                 "silent-on-send" (answer the prompt, then
//                                 nothing from the PDU on); "garbage"
//                                 (commands take effect, their answers are
//                                 noise); "cms-error"
//                                 (the next count AT+CMGS get +CMS ERROR
//                                 code, default 500 and 1)
//   {"cmd":"disconnect"}          closes the terminal and exits, as a USB
//                                 modem that is pulled
//   {"cmd":"submissions","clear":bool}
//                                 the SMS-SUBMITs taken, each {mr, pdu,
//                                 length, decoded: pdu_json decodeSubmit}
//   {"cmd":"store"}               the message store [{index, stat, pdu}]
//   {"cmd":"commands","clear":bool}  every command line received, in order
'use strict';

const fs = require('fs');
const net = require('net');
const pduJson = require('./pdu_json.js');

const args = process.argv.slice(2);
function arg(name, fallback) {
  const i = args.indexOf(name);
  return i >= 0 && i + 1 < args.length ? args[i + 1] : fallback;
}
const controlPath = arg('--control', null);
const statePath = arg('--state', null);
if (!controlPath) {
  process.stderr.write('usage: emulator.js --control <socket> [options]\n');
  process.exit(2);
}

function log(what, text) {
  process.stderr.write(`${new Date().toISOString()} ${what} ${JSON.stringify(text)}\n`);
}

// What the SIM and the device keep. Saved to --state when given.
let state = {
  pin: arg('--pin', null),
  puk: arg('--puk', '12345678'),
  pinTries: 3,
  unlocked: arg('--pin', null) === null,
  puked: false,
  creg: Number(arg('--creg', '1')),
  csq: arg('--csq', '20,99').split(',').map(Number),
  smsc: arg('--smsc', '+4917000000'),
  nextMr: Number(arg('--mr', '0')) & 0xff,
  storeSize: Number(arg('--store-size', '20')),
  store: {},  // index -> {stat, pdu}
  autoReport: null,
  delayMs: 0,
  csms: Number(arg('--csms', '0')),
  ackTimeoutMs: 2000,
};
if (statePath && fs.existsSync(statePath)) {
  state = Object.assign(state, JSON.parse(fs.readFileSync(statePath, 'utf8')));
  state.unlocked = state.pin === null;  // a power cycle locks the SIM again
}
function save() {
  if (!statePath) return;
  fs.writeFileSync(statePath + '.tmp', JSON.stringify(state));
  fs.renameSync(statePath + '.tmp', statePath);
}

// Settings of the session, reset by ATZ.
const defaults = {echo: arg('--echo', '1') === '1', cmee: 0, cmgf: 0, cregN: 0, cnmi: [0, 0, 0, 0, 0]};
let session = Object.assign({}, defaults, {cnmi: defaults.cnmi.slice()});
let misbehave = {mode: 'none', code: 500, count: 0};
const failures = {};  // command name -> {kind, code, count}
let ackTimer = null;   // a +CMT/+CDS waits for AT+CNMA
const submissions = [];
const commands = [];

// --- terminal side ---------------------------------------------------------

const input = process.stdin;
let closed = false;

function write(text) {
  if (closed) return;
  log('>>', text);
  // The terminal shares its file description with the non-blocking input,
  // so a full buffer (a client that stopped reading) answers EAGAIN: wait a
  // little, for at most two seconds, then drop the rest as a modem would.
  let buf = Buffer.from(text, 'latin1');
  const pause = new Int32Array(new SharedArrayBuffer(4));
  for (let tries = 0; buf.length && tries < 400; ++tries) {
    try {
      buf = buf.subarray(fs.writeSync(1, buf));
    } catch (e) {
      if (e.code !== 'EAGAIN') {
        log('write-error', e.message);
        return;
      }
      Atomics.wait(pause, 0, 0, 5);
    }
  }
  if (buf.length) log('write-dropped', buf.length);
}
function answer(lines, final) {
  if (state.delayMs > 0 && !answer.delayed) {
    // Timers of equal delay fire in order, so answers keep their order.
    setTimeout(() => {
      answer.delayed = true;
      answer(lines, final);
      answer.delayed = false;
    }, state.delayMs);
    return;
  }
  if (misbehave.mode === 'silent') return;
  if (misbehave.mode === 'garbage') {
    write('\r\n\x07#%&*GARBLED\xff\r\n');
    return;
  }
  // Information lines follow each other (a PDU right under its +CMGR
  // line); one empty line separates them from the final result.
  const out = lines.length ? '\r\n' + lines.join('\r\n') + '\r\n' : '';
  write(out + '\r\n' + final + '\r\n');
}
function unsolicited(lines) {
  if (misbehave.mode === 'silent' || misbehave.mode === 'silent-on-send') return;
  write('\r\n' + lines.join('\r\n') + '\r\n');
}

const cmeText = {
  3: 'operation not allowed', 4: 'operation not supported', 10: 'SIM not inserted', 11: 'SIM PIN required',
  12: 'SIM PUK required', 16: 'incorrect password', 21: 'invalid index', 30: 'no network service',
  100: 'unknown'
};
const cmsText = {
  300: 'ME failure', 302: 'operation not allowed', 303: 'operation not supported',
  304: 'invalid PDU mode parameter', 310: 'SIM not inserted', 311: 'SIM PIN required', 316: 'SIM PUK required',
  314: 'SIM busy', 321: 'invalid memory index', 322: 'memory full', 330: 'SMSC address unknown',
  331: 'no network service', 340: 'no +CNMA acknowledgement expected', 500: 'unknown error'
};
class AtError extends Error {
  constructor(kind, code) {
    super(`${kind} ${code}`);
    this.kind = kind;
    this.code = code;
  }
}
const cme = (code) => new AtError('CME', code);
const cms = (code) => new AtError('CMS', code);
function errorLine(e) {
  if (session.cmee === 0) return 'ERROR';
  const table = e.kind === 'CME' ? cmeText : cmsText;
  const detail = session.cmee === 2 ? (table[e.code] || 'unknown') : String(e.code);
  return `+${e.kind} ERROR: ${detail}`;
}

function pinState() {
  if (state.unlocked) return 'READY';
  return state.puked ? 'SIM PUK' : 'SIM PIN';
}
function requireSim(forSms) {
  if (state.unlocked) return;
  if (forSms) throw cms(state.puked ? 316 : 311);
  throw cme(state.puked ? 12 : 11);
}
function registered() {
  return state.creg === 1 || state.creg === 5;
}

function unquote(s) {
  s = (s || '').trim();
  return s.startsWith('"') && s.endsWith('"') && s.length >= 2 ? s.slice(1, -1) : s;
}
function params(s) {
  // Splits on commas outside quotes.
  const out = [];
  let cur = '', q = false;
  for (const c of s) {
    if (c === '"') q = !q;
    if (c === ',' && !q) {
      out.push(cur);
      cur = '';
    } else {
      cur += c;
    }
  }
  out.push(cur);
  return out.map((p) => p.trim());
}

function freeIndex() {
  for (let i = 1; i <= state.storeSize; ++i)
    if (!state.store[i]) return i;
  return 0;
}
function storeCount() {
  return Object.keys(state.store).length;
}
function storeMessage(pdu, stat) {
  const i = freeIndex();
  if (!i) return 0;
  state.store[i] = {stat, pdu};
  save();
  return i;
}

function storeStats(n) {
  const u = `${storeCount()},${state.storeSize}`;
  return Array(n).fill(u).join(',');
}

// Extended commands by name: (rest after the name) -> info lines; throws
// AtError. "rest" is "", "?", "=?" or "=...".
const ident = {
  CGMI: 'Velquor', CGMM: 'Emulated GSM Modem', CGMR: 'EMU 1.0', CGSN: '356938035643809', CIMI: '001010123456789'
};
const extended = {
  CMEE(rest) {
    if (rest === '?') return [`+CMEE: ${session.cmee}`];
    if (rest === '=?') return ['+CMEE: (0-2)'];
    const n = Number(rest.slice(1));
    if (!(n >= 0 && n <= 2)) throw cme(3);
    session.cmee = n;
    return [];
  },
  CMGF(rest) {
    if (rest === '?') return [`+CMGF: ${session.cmgf}`];
    if (rest === '=?') return ['+CMGF: (0)'];
    if (rest.slice(1).trim() !== '0') throw cms(303);
    return [];
  },
  CPIN(rest) {
    if (rest === '?') return [`+CPIN: ${pinState()}`];
    if (rest === '=?') return [];
    const p = params(rest.slice(1)).map(unquote);
    if (state.unlocked) throw cme(3);
    if (state.puked) {
      if (p.length < 2 || p[0] !== state.puk) throw cme(16);
      state.pin = p[1];
      state.puked = false;
      state.unlocked = true;
      state.pinTries = 3;
      save();
      return [];
    }
    if (p[0] !== state.pin) {
      state.pinTries -= 1;
      if (state.pinTries <= 0) state.puked = true;
      save();
      throw cme(16);
    }
    state.unlocked = true;
    state.pinTries = 3;
    save();
    return [];
  },
  CREG(rest) {
    if (rest === '?') return [`+CREG: ${session.cregN},${state.creg}`];
    if (rest === '=?') return ['+CREG: (0-1)'];
    session.cregN = Number(rest.slice(1)) ? 1 : 0;
    return [];
  },
  CSQ(rest) {
    if (rest === '=?') return ['+CSQ: (0-31,99),(0-7,99)'];
    return [`+CSQ: ${state.csq[0]},${state.csq[1]}`];
  },
  CSCA(rest) {
    requireSim(true);
    if (rest === '?') return [`+CSCA: "${state.smsc}",${state.smsc.startsWith('+') ? 145 : 129}`];
    if (rest === '=?') return [];
    state.smsc = unquote(params(rest.slice(1))[0]);
    save();
    return [];
  },
  CSMS(rest) {
    if (rest === '?') return [`+CSMS: ${state.csms},1,1,1`];
    if (rest === '=?') return ['+CSMS: (0,1)'];
    const n = Number(rest.slice(1));
    if (n !== 0 && n !== 1) throw cms(303);
    state.csms = n;
    save();
    return ['+CSMS: 1,1,1'];
  },
  CSCS(rest) {
    if (rest === '?') return ['+CSCS: "GSM"'];
    if (rest === '=?') return ['+CSCS: ("GSM","IRA","UCS2")'];
    return [];
  },
  CNMI(rest) {
    if (rest === '?') return [`+CNMI: ${session.cnmi.join(',')}`];
    if (rest === '=?') return ['+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)'];
    const p = params(rest.slice(1)).map((x) => (x === '' ? 0 : Number(x)));
    if (p.some((x) => isNaN(x)) || p[1] > 3 || p[3] > 2) throw cms(303);
    for (let i = 0; i < 5; ++i) session.cnmi[i] = p[i] === undefined ? session.cnmi[i] : p[i];
    return [];
  },
  CPMS(rest) {
    requireSim(true);
    if (rest === '?') return [`+CPMS: "SM",${storeCount()},${state.storeSize},"SM",${storeCount()},${state.storeSize},` +
                              `"SM",${storeCount()},${state.storeSize}`];
    if (rest === '=?') return ['+CPMS: ("SM","ME","MT"),("SM","ME","MT"),("SM","ME","MT")'];
    const p = params(rest.slice(1)).map(unquote);
    if (p.some((m) => !['SM', 'ME', 'MT'].includes(m))) throw cms(302);
    return [`+CPMS: ${storeStats(p.length)}`];
  },
  CMGS(rest) {
    if (rest === '=?') return [];
    requireSim(true);
    const n = Number(rest.slice(1));
    if (!(n >= 1 && n <= 176)) throw cms(304);
    pending = {length: n, text: ''};
    if (misbehave.mode === 'silent') return null;
    write('\r\n> ');
    return null;  // the answer follows the PDU
  },
  CMGL(rest) {
    requireSim(true);
    if (rest === '=?') return ['+CMGL: (0-4)'];
    const want = rest === '' ? 0 : Number(rest.slice(1));
    if (!(want >= 0 && want <= 4)) throw cms(304);
    const lines = [];
    for (const i of Object.keys(state.store).map(Number).sort((a, b) => a - b)) {
      const m = state.store[i];
      if (want !== 4 && m.stat !== want) continue;
      lines.push(`+CMGL: ${i},${m.stat},,${pduJson.tpduLength(m.pdu)}`, m.pdu);
      if (m.stat === 0) m.stat = 1;
    }
    save();
    return lines;
  },
  CMGR(rest) {
    requireSim(true);
    if (rest === '=?') return [];
    const i = Number(rest.slice(1));
    const m = state.store[i];
    if (!(i >= 1 && i <= state.storeSize)) throw cms(321);
    if (!m) throw cms(321);
    const lines = [`+CMGR: ${m.stat},,${pduJson.tpduLength(m.pdu)}`, m.pdu];
    if (m.stat === 0) m.stat = 1;
    save();
    return lines;
  },
  CMGD(rest) {
    requireSim(true);
    if (rest === '=?') return [`+CMGD: (1-${state.storeSize}),(0-4)`];
    const p = params(rest.slice(1)).map(Number);
    const i = p[0], flag = p[1] || 0;
    if (flag === 0) {
      if (!(i >= 1 && i <= state.storeSize)) throw cms(321);
      delete state.store[i];
    } else {
      // 1 read, 2 read and sent, 3 read, sent and unsent, 4 all
      const drop = {1: [1], 2: [1, 3], 3: [1, 2, 3], 4: [0, 1, 2, 3]}[flag];
      if (!drop) throw cms(304);
      for (const k of Object.keys(state.store))
        if (drop.includes(state.store[k].stat)) delete state.store[k];
    }
    save();
    return [];
  },
  CNMA() {
    if (!ackTimer) throw cms(340);
    clearTimeout(ackTimer);
    ackTimer = null;
    return [];
  },
  CFUN(rest) {
    if (rest === '?') return ['+CFUN: 1'];
    if (rest === '=?') return ['+CFUN: (0,1,4),(0,1)'];
    return [];
  },
  COPS(rest) {
    if (rest === '?') return [registered() ? '+COPS: 0,0,"Emulated Network"' : '+COPS: 0'];
    if (rest === '=?') return ['+COPS: (2,"Emulated Network","EMU","00101"),,(0-4),(0-2)'];
    return [];
  },
  CBC() {
    return ['+CBC: 0,100'];
  },
  CLIP(rest) {
    return rest === '?' ? ['+CLIP: 0,2'] : [];
  },
  CSCB(rest) {
    return rest === '?' ? ['+CSCB: 0,"",""'] : [];
  },
};
for (const [name, value] of Object.entries(ident)) {
  extended[name] = (rest) => {
    if (name === 'CIMI') requireSim(false);
    return rest === '=?' ? [] : [value];
  };
  extended[name.substring(1)] = extended[name];  // +GMI etc.
}

// One "AT..." line; returns nothing (it writes its own answer).
function runLine(line) {
  commands.push(line);
  if (!/^AT/i.test(line)) {
    if (line.trim() !== '') answer([], 'ERROR');
    return;
  }
  let body = line.slice(2);
  const info = [];
  try {
    while (body.length) {
      const c = body[0].toUpperCase();
      if (c === '+') {
        const end = body.indexOf(';') < 0 ? body.length : body.indexOf(';');
        const cmd = body.slice(1, end);
        body = body.slice(end + 1);
        const m = /^([A-Za-z]+)(.*)$/.exec(cmd);
        const handler = m && extended[m[1].toUpperCase()];
        if (!handler) throw new AtError('ERROR', 0);
        const failure = failures[m[1].toUpperCase()];
        if (failure && failure.count > 0) {
          failure.count -= 1;
          throw new AtError(failure.kind, failure.code);
        }
        const lines = handler(m[2].trim());
        if (lines === null) return;  // AT+CMGS: prompt written
        info.push(...lines);
        continue;
      }
      if (c === ';' || c === ' ') {
        body = body.slice(1);
        continue;
      }
      const m = /^(&?[A-Za-z])(\d*)(=\d*)?/.exec(body);
      if (!m) throw new AtError('ERROR', 0);
      body = body.slice(m[0].length);
      const name = m[1].toUpperCase(), n = m[2] === '' ? 0 : Number(m[2]);
      if (name === 'E') session.echo = n === 1;
      else if (name === 'Z' || name === '&F') session = Object.assign({}, defaults, {cnmi: defaults.cnmi.slice()});
      else if (name === 'I') info.push('Velquor Emulated GSM Modem');
      else if (!['V', 'Q', '&C', '&D', 'S', '&K', 'X', '&W'].includes(name)) throw new AtError('ERROR', 0);
      if (name === 'V' && n !== 1) throw new AtError('ERROR', 0);
    }
    answer(info, 'OK');
  } catch (e) {
    if (!(e instanceof AtError)) throw e;
    answer([], e.kind === 'ERROR' ? 'ERROR' : errorLine(e));
  }
}

// --- sending -------------------------------------------------------------

let pending = null;  // AT+CMGS waiting for its PDU: {length, text}

function finishSend(hex, length) {
  if (misbehave.mode === 'silent') return;  // a hung modem sends nothing
  if (misbehave.mode === 'silent-on-send') {
    log('silent', 'PDU swallowed');
    misbehave.mode = 'silent';
    return;
  }
  const fail = (code) => answer([], errorLine(cms(code)));
  if (misbehave.mode === 'cms-error' && misbehave.count > 0) {
    misbehave.count -= 1;
    if (misbehave.count === 0) misbehave.mode = 'none';
    return fail(misbehave.code);
  }
  let decoded;
  hex = hex.replace(/\s+/g, '');
  try {
    if (!/^([0-9A-Fa-f]{2})+$/.test(hex)) throw new Error('not hex');
    if (pduJson.tpduLength(hex) !== length) throw new Error('length does not match');
    decoded = pduJson.decodeSubmit(hex);
  } catch (e) {
    log('bad-pdu', e.message);
    return fail(304);
  }
  if (!registered()) return fail(331);
  const mr = state.nextMr;
  state.nextMr = (mr + 1) & 0xff;
  save();
  submissions.push({mr, pdu: hex.toUpperCase(), length, decoded});
  answer([`+CMGS: ${mr}`], 'OK');
  if (decoded.srr && state.autoReport !== null) {
    const recipient = decoded.destination.number;
    setTimeout(() => deliverReport({mr, status: state.autoReport, recipient}), 50);
  }
}

function onPromptInput(chunk) {
  for (let k = 0; k < chunk.length; ++k) {
    const c = chunk[k];
    if (c === '\x1a') {
      const send = pending;
      pending = null;
      finishSend(send.text, send.length);
      return chunk.slice(k + 1);
    }
    if (c === '\x1b') {
      pending = null;
      if (misbehave.mode !== 'silent') answer([], 'OK');
      return chunk.slice(k + 1);
    }
    pending.text += c;
    if (session.echo && misbehave.mode === 'none') write(c);
  }
  return '';
}

// --- input ---------------------------------------------------------------

let lineBuffer = '';
function onInput(data) {
  let chunk = data.toString('latin1');
  log('<<', chunk);
  while (chunk.length) {
    if (pending) {
      chunk = onPromptInput(chunk);
      continue;
    }
    const c = chunk[0];
    chunk = chunk.slice(1);
    if (session.echo && misbehave.mode === 'none' && c !== '\n') write(c);
    if (c === '\r' || c === '\n') {
      const line = lineBuffer.trim();
      lineBuffer = '';
      if (line) runLine(line);
      continue;
    }
    if (c === '\x1b' || c === '\x1a') {
      lineBuffer = '';
      continue;
    }
    lineBuffer += c;
    if (lineBuffer.length > 1024) lineBuffer = '';
  }
}

// --- network side ----------------------------------------------------------

// Service 1: what is shown directly waits for AT+CNMA; without it the
// modem gives up on the terminal and routes nothing more to it.
function shownDirectly() {
  if (state.csms !== 1) return;
  if (ackTimer) clearTimeout(ackTimer);
  ackTimer = setTimeout(() => {
    ackTimer = null;
    session.cnmi[1] = 0;
    session.cnmi[3] = 0;
    log('routing-off', 'no AT+CNMA in time');
  }, state.ackTimeoutMs);
}

function storm(count, index) {
  let sent = 0, next = 1;
  const step = () => {
    if (closed) return;
    const lines = [];
    for (; sent < count && lines.length < 50; ++sent) {
      lines.push(`+CMTI: "SM",${index || next}`);
      next = next % state.storeSize + 1;
    }
    unsolicited(lines);
    if (sent < count) setTimeout(step, 1);
  };
  step();
}

function deliverMessage(f) {
  const pdu = f.raw ? f.raw.toUpperCase() : pduJson.encodeDeliver(f);
  const mt = session.cnmi[1];
  if (mt === 2 || mt === 3) {
    unsolicited([`+CMT: ,${pduJson.tpduLength(pdu)}`, pdu]);
    shownDirectly();
    return {pdu, index: 0};
  }
  const index = storeMessage(pdu, 0);
  if (!index) throw new Error('store full');
  if (mt === 1) unsolicited([`+CMTI: "SM",${index}`]);
  return {pdu, index};
}

function deliverReport(f) {
  const pdu = pduJson.encodeStatusReport(f);
  const ds = session.cnmi[3];
  if (!f.stored && ds === 1) {
    unsolicited([`+CDS: ${pduJson.tpduLength(pdu)}`, pdu]);
    shownDirectly();
    return {pdu, index: 0};
  }
  const index = storeMessage(pdu, 0);
  if (!index) throw new Error('store full');
  if (ds === 2) unsolicited([`+CDSI: "SM",${index}`]);
  return {pdu, index};
}

function status() {
  return {
    pin: pinState(),
    pinTries: state.pinTries,
    creg: state.creg,
    csq: state.csq,
    smsc: state.smsc,
    nextMr: state.nextMr,
    stored: storeCount(),
    echo: session.echo,
    cmee: session.cmee,
    cnmi: session.cnmi,
    misbehave: misbehave.mode,
    submissions: submissions.length,
    csms: state.csms,
    awaitingAck: ackTimer !== null,
  };
}

function control(req) {
  switch (req.cmd) {
    case 'status':
      return status();
    case 'deliver':
      return deliverMessage(req);
    case 'report':
      return deliverReport(req);
    case 'set': {
      if ('pin' in req) {
        state.pin = req.pin;
        state.unlocked = req.pin === null;
        state.puked = false;
        state.pinTries = 3;
      }
      if ('puk' in req) state.puk = req.puk;
      if ('creg' in req) {
        const changed = state.creg !== req.creg;
        state.creg = req.creg;
        if (changed && session.cregN === 1) unsolicited([`+CREG: ${state.creg}`]);
      }
      if ('csq' in req) state.csq = req.csq;
      if ('smsc' in req) state.smsc = req.smsc;
      if ('mr' in req) state.nextMr = req.mr & 0xff;
      if ('autoReport' in req) state.autoReport = req.autoReport;
      if ('delayMs' in req) state.delayMs = req.delayMs;
      if ('csms' in req) state.csms = req.csms;
      if ('ackTimeoutMs' in req) state.ackTimeoutMs = req.ackTimeoutMs;
      save();
      return status();
    }
    case 'misbehave':
      if (!['none', 'silent', 'silent-on-send', 'garbage', 'cms-error'].includes(req.mode))
        throw new Error(`unknown mode ${req.mode}`);
      misbehave = {mode: req.mode, code: req.code || 500, count: req.count || 1};
      return status();
    case 'fail': {
      const name = String(req.command || '').toUpperCase().replace(/^AT\+|^\+/, '');
      if (!extended[name]) throw new Error(`unknown command ${req.command}`);
      failures[name] = {kind: req.kind === 'CME' ? 'CME' : 'CMS', code: req.code || 500, count: req.count || 1};
      return {};
    }
    case 'storm':
      storm(req.count || 1000, req.index || 0);
      return {};
    case 'raw':
      if (typeof req.text !== 'string') throw new Error('raw needs "text"');
      write(req.text);
      return {};
    case 'disconnect':
      setTimeout(() => shutdown(0), 10);
      return {};
    case 'submissions': {
      const list = submissions.slice();
      if (req.clear) submissions.length = 0;
      return {submissions: list};
    }
    case 'store':
      return {store: Object.keys(state.store).map(Number).sort((a, b) => a - b).map((i) => Object.assign({index: i}, state.store[i]))};
    case 'commands': {
      const list = commands.slice();
      if (req.clear) commands.length = 0;
      return {commands: list};
    }
    default:
      throw new Error(`unknown command ${req.cmd}`);
  }
}

const server = net.createServer((sock) => {
  let buf = '';
  sock.on('data', (d) => {
    buf += d.toString('utf8');
    let nl;
    while ((nl = buf.indexOf('\n')) >= 0) {
      const line = buf.slice(0, nl);
      buf = buf.slice(nl + 1);
      let reply;
      try {
        const req = JSON.parse(line);
        log('control', req);
        reply = Object.assign({ok: true}, control(req));
      } catch (e) {
        reply = {ok: false, error: e.message};
      }
      sock.write(JSON.stringify(reply) + '\n');
    }
  });
  sock.on('error', () => {});
});

function shutdown(code) {
  if (closed) return;
  closed = true;
  log('exit', code);
  try {
    fs.unlinkSync(controlPath);
  } catch (e) {
  }
  process.exit(code);
}

try {
  fs.unlinkSync(controlPath);
} catch (e) {
}
server.listen(controlPath, () => log('ready', controlPath));
input.on('data', onInput);
input.on('end', () => shutdown(0));
input.on('error', (e) => {
  log('input-error', e.message);
  shutdown(0);
});
process.on('SIGTERM', () => shutdown(0));
