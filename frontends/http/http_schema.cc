#include "http_schema.h"

namespace VelquorHttp {

std::vector<std::string> HttpSchemaStatements(bool bPostgres) {
  const std::string serial = bPostgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
  return {
      "CREATE TABLE IF NOT EXISTS HttpJobs (JobId INTEGER PRIMARY KEY, Account TEXT NOT NULL, ClientRef TEXT, "
      "CallbackUrl TEXT, CallbackKind INTEGER NOT NULL DEFAULT 0, DlrMask INTEGER NOT NULL DEFAULT 0, "
      "Created BIGINT NOT NULL)",
      "CREATE INDEX IF NOT EXISTS HttpJobsCreated ON HttpJobs (Created)",
      "CREATE TABLE IF NOT EXISTS HttpIdempotency (Account TEXT NOT NULL, IdemKey TEXT NOT NULL, "
      "BodyHash TEXT NOT NULL, Status INTEGER NOT NULL, Answer TEXT NOT NULL, Created BIGINT NOT NULL, "
      "PRIMARY KEY (Account, IdemKey))",
      "CREATE INDEX IF NOT EXISTS HttpIdempotencyCreated ON HttpIdempotency (Created)",
      "CREATE TABLE IF NOT EXISTS HttpEvents (Id " + serial +
          ", Account TEXT NOT NULL, Kind TEXT NOT NULL, Handset INTEGER NOT NULL, Body TEXT NOT NULL, "
          "Created BIGINT NOT NULL)",
      "CREATE INDEX IF NOT EXISTS HttpEventsAccount ON HttpEvents (Account, Id)",
      "CREATE TABLE IF NOT EXISTS WebhookOutbox (Id " + serial +
          ", Account TEXT NOT NULL, Url TEXT NOT NULL, Method TEXT NOT NULL, Body TEXT NOT NULL, "
          "Signed INTEGER NOT NULL, Attempts INTEGER NOT NULL DEFAULT 0, NextAttempt BIGINT NOT NULL, "
          "FirstQueued BIGINT NOT NULL, LastStatus INTEGER, LastError TEXT)",
      "CREATE INDEX IF NOT EXISTS WebhookOutboxNext ON WebhookOutbox (NextAttempt)",
  };
}

}  // namespace VelquorHttp
