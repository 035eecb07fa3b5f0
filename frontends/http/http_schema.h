// The tables velquor-http keeps beside the queue tables, in the same
// database so that a send and its records commit together. Times are
// milliseconds since the epoch (UTC). Creating them again changes nothing.
//
// HttpJobs: what the daemon knows of a job it queued, written in the send's
// transaction and read when the job's notifications come.
//   JobId INTEGER PRIMARY KEY      the SMSOutgoing Id (replaced when reused)
//   Account TEXT NOT NULL          the sending account
//   ClientRef TEXT                 the client's reference, given back
//   CallbackUrl TEXT               the message's own webhook (else the account's)
//   CallbackKind INTEGER NOT NULL  0: JSON POST, signed; 1: Kannel dlr-url (GET)
//   DlrMask INTEGER NOT NULL       Kannel's dlr-mask (0 where not Kannel)
//   Created BIGINT NOT NULL
// HttpIdempotency: the first answer to a POST that carried an
// Idempotency-Key, written in the same transaction as what it queued.
//   Account, IdemKey TEXT NOT NULL (the primary key)
//   BodyHash TEXT NOT NULL         SHA-256 of method, path and body
//   Status INTEGER NOT NULL        the answer's HTTP status
//   Answer TEXT NOT NULL           the answer's body
//   Created BIGINT NOT NULL
// HttpEvents: an account's inbox, the notifications and received messages
// it has not taken yet.
//   Id (autoincrement)  Account TEXT  Kind TEXT ("report" | "received")
//   Handset INTEGER  Body TEXT (the event's JSON)  Created BIGINT
// WebhookOutbox: calls still to make, until a 2xx answer or their time is up.
//   Id (autoincrement)  Account TEXT  Url TEXT  Method TEXT ("POST" | "GET")
//   Body TEXT  Signed INTEGER (1: sign with the account's secret)
//   Attempts INTEGER  NextAttempt BIGINT  FirstQueued BIGINT
//   LastStatus INTEGER  LastError TEXT
#pragma once

#include <string>
#include <vector>

namespace VelquorHttp {

std::vector<std::string> HttpSchemaStatements(bool bPostgres);

}  // namespace VelquorHttp
