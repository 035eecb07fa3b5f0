// GSM 03.40 PDUs as JSON through the npm package node-pdu (2.1.1), the
// independent implementation the modem tests check the gateway's own codec
// against. Shared by emulator.js and pdu_tool.js. Test tool only.
//
// Where node-pdu 2.1.1 is wrong or cannot do a thing, this file does it
// itself and says so at the spot (look for "node-pdu:"):
//   - It cannot encode an SMS-STATUS-REPORT (its Report class has no
//     toString), so encodeStatusReport() builds one by hand.
//   - Its relative validity decoding is wrong in three of the four ranges of
//     GSM 03.40 9.2.3.12.1 (0x90..0xA7 gives 12 days instead of 12 hours as
//     base, 0xA8..0xC4 one day short, 0xC5..0xFF four weeks short), so the
//     raw TP-VP octet is reported and the period computed here.
//   - Its default alphabet has '`' where GSM 03.38 has '§' (0x5F), and its
//     extension table lacks the form feed (1B 0A): both read as '`', and a
//     '`' (not in the GSM alphabet at all) is sent as 0x5F. The decoded
//     text is what node-pdu says; the tests leave '§' and form feed out.
//   - Its time-zone rendering (getIsoString) assumes whole hours; the zone is
//     reported in minutes from its own field instead.
//   - It marks alphanumeric addresses 0xD1 (plan ISDN); 03.40 leaves the plan
//     unused there, so encodeDeliver sets plan 0 (0xD0).
//   - Its address type detection is unanchored (a national number holding
//     "00" loses two digits); address() sets the type itself.
//   - Its own text splitting picks UCS-2 for any character above 0xC0 (so
//     'Ä' too) and for none below (so '`' goes as GSM), and cuts by UTF-16
//     units, not septets: 140 '{' make a first part of 266 septets with a
//     UDL of 17. encodeDeliver never lets it split: each call makes exactly
//     one PDU from the given alphabet, text and header.
'use strict';

// node-pdu falls back to the machine's zone where a zone is 0: make that UTC.
process.env.TZ = 'UTC';

const pdu = require('node-pdu');

const {Deliver, parse} = pdu;
const {DCS, Data, Header, Helper, Part, SCA, SCAType, SCTS, DeliverType} = pdu.utils;

function hexByte(n) {
  return n.toString(16).toUpperCase().padStart(2, '0');
}

function checkHex(s, what) {
  if (typeof s !== 'string' || !/^([0-9A-Fa-f]{2})*$/.test(s)) throw new Error(`${what} is not hex octets`);
  return s.toUpperCase();
}

// Elements of a UDH given without its UDHL octet.
function parseIes(hex) {
  const ies = [];
  for (let i = 0; i < hex.length;) {
    if (i + 4 > hex.length) throw new Error('UDH element cut short');
    const iei = parseInt(hex.substr(i, 2), 16);
    const len = parseInt(hex.substr(i + 2, 2), 16);
    if (i + 4 + len * 2 > hex.length) throw new Error('UDH element longer than the header');
    ies.push({type: iei, dataHex: hex.substr(i + 4, len * 2)});
    i += 4 + len * 2;
  }
  return ies;
}

function addressJson(sca) {
  const type = sca.type.getValue();
  let number = sca.phone || '';
  if (sca.type.type === SCAType.TYPE_INTERNATIONAL) number = '+' + number;
  return {number, toa: type};
}

// TP-VP relative octet to seconds (GSM 03.40 9.2.3.12.1).
function relativeValiditySeconds(octet) {
  if (octet <= 143) return (octet + 1) * 300;
  if (octet <= 167) return 12 * 3600 + (octet - 143) * 1800;
  if (octet <= 196) return (octet - 166) * 86400;
  return (octet - 192) * 7 * 86400;
}

function alphabetName(dcs) {
  switch (dcs.textAlphabet) {
    case DCS.ALPHABET_DEFAULT: return 'gsm7';
    case DCS.ALPHABET_8BIT: return '8bit';
    case DCS.ALPHABET_UCS2: return 'ucs2';
    default: return 'reserved';
  }
}

// The user data of a parsed Submit or Deliver.
function userDataJson(msg) {
  const part = msg.data.parts[0];
  const out = {alphabet: alphabetName(msg.dataCodingScheme), udl: part.size};
  out.text = msg.data.getText();
  out.dataHex = part.data;
  if (part.header) {
    out.udh = part.header.toString().substring(2);
    out.ies = part.header.ies.map((ie) => ({iei: ie.type, data: ie.dataHex}));
    if (part.header.getType() !== undefined)
      out.concat = {ref: part.header.getPointer(), total: part.header.getSegments(), seq: part.header.getCurrent(),
                    wide: part.header.getType() === Header.IE_CONCAT_16BIT_REF};
  }
  return out;
}

// The fields of an SMS-SUBMIT (hex with the SMSC prefix, as AT+CMGS sends it).
function decodeSubmit(hex) {
  const msg = parse(checkHex(hex, 'PDU'));
  if (!(msg instanceof pdu.Submit)) throw new Error('not an SMS-SUBMIT');
  const t = msg.type;
  const out = Object.assign(
      {
        type: 'submit',
        mr: msg.messageReference,
        destination: addressJson(msg.address),
        smsc: msg.serviceCenterAddress.phone ? addressJson(msg.serviceCenterAddress).number : '',
        pid: msg.protocolIdentifier.getValue(),
        dcs: msg.dataCodingScheme.getValue(),
        srr: t.statusReportRequest === 1,
        rejectDuplicates: !!t.rejectDuplicates,
        replyPath: !!t.replyPath,
        vpf: t.validityPeriodFormat,
      },
      userDataJson(msg));
  // The DCS node-pdu rebuilds from its fields can differ from the octet
  // sent; the octet itself is taken from the PDU.
  out.dcs = dcsOctetOfSubmit(hex);
  if (t.validityPeriodFormat === 2) {
    out.vp = vpOctetOfSubmit(hex);
    out.validitySeconds = relativeValiditySeconds(out.vp);
    out.nodePduValiditySeconds = msg.validityPeriod.interval;
  } else if (t.validityPeriodFormat === 3) {
    out.validityAbsolute = msg.validityPeriod.dateTime ? msg.validityPeriod.dateTime.toISOString() : null;
  }
  return out;
}

// Walks the SMS-SUBMIT header by hand to the octet after TP-DCS: node-pdu
// keeps the DCS only as fields.
function submitOffsets(hex) {
  const b = (i) => parseInt(hex.substr(i * 2, 2), 16);
  let i = 1 + b(0);         // SMSC prefix
  const first = b(i);
  i += 2;                   // first octet, TP-MR
  const daDigits = b(i);
  i += 2 + Math.ceil(daDigits / 2);  // length, type, digits
  i += 1;                   // TP-PID
  const dcs = i;
  return {dcs, vp: dcs + 1, first};
}
function dcsOctetOfSubmit(hex) {
  return parseInt(hex.substr(submitOffsets(hex).dcs * 2, 2), 16);
}
function vpOctetOfSubmit(hex) {
  return parseInt(hex.substr(submitOffsets(hex).vp * 2, 2), 16);
}

function decodeDeliver(hex) {
  const msg = parse(checkHex(hex, 'PDU'));
  if (!(msg instanceof pdu.Deliver)) throw new Error('not an SMS-DELIVER');
  const ts = msg.serviceCenterTimeStamp;
  return Object.assign(
      {
        type: 'deliver',
        originator: addressJson(msg.address),
        pid: msg.protocolIdentifier.getValue(),
        timeUtc: new Date(ts.time * 1000).toISOString().replace('.000', ''),
        zoneMinutes: ts.tzOff,
      },
      userDataJson(msg));
}

function decodeAny(hex) {
  const msg = parse(checkHex(hex, 'PDU'));
  if (msg instanceof pdu.Submit) return decodeSubmit(hex);
  if (msg instanceof pdu.Deliver) return decodeDeliver(hex);
  return {type: 'report', mr: msg.reference, recipient: addressJson(msg.address), status: msg.status};
}

// The DCS object node-pdu writes as the given octet, for the groups the
// tests use; anything else is refused rather than sent differently.
function makeDcs(octet) {
  const hi = octet >> 4;
  let dcs;
  if (hi <= 3) {
    dcs = new DCS({textAlphabet: (octet >> 2) & 3, classMessage: octet & 3, useMessageClass: !!(octet & 0x10),
                   compressedText: !!(octet & 0x20)});
  } else if (hi === 0x0f) {
    dcs = new DCS({textAlphabet: (octet & 4) ? DCS.ALPHABET_8BIT : DCS.ALPHABET_DEFAULT, classMessage: octet & 3,
                   dataCodingAndMessageClass: true});
  } else {
    throw new Error(`DCS ${hexByte(octet)} is not supported here`);
  }
  if (dcs.getValue() !== octet) throw new Error(`node-pdu cannot write DCS ${hexByte(octet)}`);
  return dcs;
}

function address(text, isAddress) {
  // node-pdu: its type detection is unanchored (/00\d+$/), so a national
  // "27838890001" would lose its first two digits as if "00" were an
  // international prefix; the type is set here instead.
  const sca = new SCA(isAddress);
  if (/^\+[0-9]+$/.test(text)) {
    sca.type.setType(SCAType.TYPE_INTERNATIONAL).setPlan(SCAType.PLAN_ISDN);
    sca.setPhone(text.substring(1), false, !isAddress);
  } else if (/^[0-9*#abc]+$/.test(text)) {
    // Numbers as dialled: type unknown, ISDN plan (0x81).
    sca.type.setType(SCAType.TYPE_UNKNOWN).setPlan(SCAType.PLAN_ISDN);
    sca.setPhone(text, false, !isAddress);
  } else {
    sca.type.setType(SCAType.TYPE_ALPHANUMERICAL).setPlan(SCAType.PLAN_UNKNOWN);
    sca.setPhone(text, false, !isAddress);
  }
  return sca;
}

// One SMS-DELIVER PDU (hex, with the SMSC prefix) from fields:
//   from       "+4912345", "12345" or a name (alphanumeric)
//   fromToa    type-of-address octet instead of the one "from" implies
//   alphabet   "gsm7" (default), "ucs2" or "8bit"
//   dcs        octet, default 0x00 / 0x08 / 0x04 by alphabet
//   text       for gsm7 and ucs2; dataHex for 8bit (or raw UCS-2 octets)
//   udh        hex of the header elements WITHOUT the UDHL octet
//   concat     {ref, total, seq} adds an 8-bit-reference concatenation element
//   time       "2024-03-01T12:00:00Z" (instant), zoneMinutes (e.g. 60, -330)
//   smsc       "+4917..." or "" (none)
//   pid        octet
function encodeDeliver(f) {
  const alphabet = f.alphabet || 'gsm7';
  const defaultDcs = {gsm7: 0x00, ucs2: 0x08, '8bit': 0x04}[alphabet];
  if (defaultDcs === undefined) throw new Error(`unknown alphabet ${alphabet}`);
  if (!f.from) throw new Error('deliver needs "from"');
  const dcs = makeDcs(f.dcs === undefined ? defaultDcs : f.dcs);

  let ies = f.udh ? parseIes(checkHex(f.udh, 'udh')) : [];
  if (f.concat) {
    const c = f.concat;
    ies = [{type: 0x00, dataHex: hexByte(c.ref & 0xff) + hexByte(c.total) + hexByte(c.seq)}].concat(ies);
  }
  const header = ies.length ? new Header(ies) : undefined;
  const headerOctets = header ? 1 + header.getSize() : 0;

  let encoded, text = f.text || '';
  if (alphabet === 'gsm7') {
    for (const ch of text) {
      // '`' is node-pdu's stand-in, not a GSM character.
      if (ch === '`' || (Helper.ALPHABET_7BIT.indexOf(ch) < 0 && Helper.EXTENDED_TABLE.indexOf(ch) < 0))
        throw new Error(`'${ch}' is not in the GSM 7-bit alphabet`);
    }
    // The septets start after the header's fill bits; node-pdu's length
    // counts one septet for them, the header septets are added below.
    const fill = header ? (7 - (headerOctets * 8) % 7) % 7 : 0;
    encoded = Helper.encode7Bit(text, fill);
    if (fill) encoded.length -= 1;
    encoded.length += header ? Math.ceil(headerOctets * 8 / 7) : 0;
  } else if (alphabet === 'ucs2') {
    encoded = f.dataHex !== undefined ? {result: checkHex(f.dataHex, 'dataHex'), length: f.dataHex.length / 2}
                                      : Helper.encode16Bit(text);
    encoded.length += headerOctets;
  } else {
    const data = checkHex(f.dataHex || '', 'dataHex');
    encoded = {result: data, length: data.length / 2 + headerOctets};
    text = '';
  }
  const userOctets = alphabet === 'gsm7' ? Math.ceil(encoded.length * 7 / 8) : encoded.length;
  if (userOctets > 140) throw new Error(`user data of ${userOctets} octets does not fit one message`);

  // TP-MMS set: no more messages waiting, as a centre sends a lone message.
  const type = new DeliverType({userDataHeader: header ? 1 : 0, mms: 1});
  const sca = f.smsc ? address(f.smsc, false) : new SCA(false);
  const when = f.time ? new Date(f.time) : new Date();
  if (isNaN(when.getTime())) throw new Error(`bad time ${f.time}`);
  // node-pdu: SCTS takes a zone of 0 as "the machine's zone", which is UTC
  // here (TZ is set above).
  const scts = new SCTS(when, f.zoneMinutes || 0);
  const data = new Data({data: text, size: encoded.length, parts: [new Part(encoded.result, encoded.length, text, header)],
                         isUnicode: alphabet === 'ucs2'});
  const originator = address(f.from, true);
  if (f.fromToa !== undefined) originator.type.setType(f.fromToa >> 4).setPlan(f.fromToa & 0x0f);
  const msg = new Deliver(originator, data,
                          {serviceCenterAddress: sca, type, dataCodingScheme: dcs, serviceCenterTimeStamp: scts});
  if (f.pid !== undefined) msg.protocolIdentifier.setPid(f.pid >> 6).setIndicates(f.pid >> 5).setType(f.pid);
  return msg.getPartStrings()[0];
}

function bcdDigits(n) {
  return String(Math.floor(n / 10)) + String(n % 10);
}
function swapped(twoDigits) {
  return twoDigits[1] + twoDigits[0];
}
// TP-SCTS / TP-DT of an instant at a zone (minutes), GSM 03.40 9.2.3.11.
function timestampHex(when, zoneMinutes) {
  const local = new Date(when.getTime() + zoneMinutes * 60000);
  const parts = [local.getUTCFullYear() % 100, local.getUTCMonth() + 1, local.getUTCDate(), local.getUTCHours(),
                 local.getUTCMinutes(), local.getUTCSeconds()];
  let out = parts.map((p) => swapped(bcdDigits(p))).join('');
  const q = Math.round(Math.abs(zoneMinutes) / 15);
  let zone = swapped(bcdDigits(q));
  if (zoneMinutes < 0) zone = (parseInt(zone[0], 16)).toString(16).toUpperCase() + (parseInt(zone[1], 16) | 8).toString(16).toUpperCase();
  return out + zone;
}

// node-pdu: the Report class cannot be written, so an SMS-STATUS-REPORT
// (GSM 03.40 9.2.2.3) is built here:
//   SMSC prefix, first octet 06 (MTI 10, TP-MMS: no more messages), TP-MR,
//   TP-RA, TP-SCTS, TP-DT, TP-ST. No TP-PI.
// Its output is checked by node-pdu's own parser (decodeAny) before use.
function encodeStatusReport(f) {
  if (f.mr === undefined || f.mr < 0 || f.mr > 255) throw new Error('report needs "mr" 0..255');
  const recipient = address(f.recipient || '+15550001', true);
  const smsc = f.smsc ? address(f.smsc, false) : new SCA(false);
  const sent = f.time ? new Date(f.time) : new Date();
  const done = f.dischargeTime ? new Date(f.dischargeTime) : new Date(sent.getTime() + 5000);
  const zone = f.zoneMinutes || 0;
  const status = f.status === undefined ? 0 : f.status;
  const hex = smsc.toString() + '06' + hexByte(f.mr) + recipient.toString() + timestampHex(sent, zone) +
      timestampHex(done, zone) + hexByte(status);
  const check = parse(hex);
  if (check.reference !== f.mr || check.status !== status) throw new Error('status report does not read back');
  return hex;
}

// Octets of the TPDU, what AT+CMGS, +CMGR and +CDS count.
function tpduLength(hex) {
  return hex.length / 2 - 1 - parseInt(hex.substr(0, 2), 16);
}

module.exports = {decodeSubmit, decodeDeliver, decodeAny, encodeDeliver, encodeStatusReport, tpduLength,
                  relativeValiditySeconds};
