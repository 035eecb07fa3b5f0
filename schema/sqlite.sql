-- The three queue tables of the Velquor gateway, for SQLite.
-- Id is the key that arbitrates between writers; the indexes serve the
-- conditions of the queue statements (oldest row per status, handset and
-- source type).
CREATE TABLE IF NOT EXISTS SMSOutgoing (
  Id INTEGER PRIMARY KEY,
  Type INTEGER,
  PhoneNumber TEXT,
  Data TEXT,
  Handset INTEGER,
  Status INTEGER,
  SourceType INTEGER,
  SourceId TEXT,
  SourceName TEXT,
  MessageRef INTEGER,
  RetryCount INTEGER,
  -- Per-message controls, all optional (NULL: as without): the sender, the
  -- priority (1 claimed before 0), the earliest and the latest time to send
  -- (milliseconds since the epoch, UTC), whether a delivery report is
  -- wanted, and the sender's reference returned in notifications.
  Sender TEXT,
  Priority INTEGER,
  NotBefore INTEGER,
  ValidUntil INTEGER,
  ReportRequest INTEGER,
  ClientRef TEXT
);
CREATE INDEX IF NOT EXISTS SMSOutgoing_Status_Handset ON SMSOutgoing (Status, Handset, Id);
CREATE INDEX IF NOT EXISTS SMSOutgoing_Confirmation ON SMSOutgoing (Status, Handset, MessageRef);
-- The engine's claim (high priority first, then the oldest; a scheduled job
-- once its NotBefore is past) reads the pending jobs in two parts, each from
-- an index that holds only what it may take: the unscheduled ones in the
-- claim's order, and the scheduled ones by time, so that jobs scheduled for
-- later cost the claim nothing however many wait. Expired jobs (ValidUntil
-- past) that no handset claims are found by the third.
CREATE INDEX IF NOT EXISTS SMSOutgoing_Due ON SMSOutgoing ((COALESCE(Priority, 0)) DESC, Id)
  WHERE Status = 0 AND NotBefore IS NULL;
CREATE INDEX IF NOT EXISTS SMSOutgoing_Scheduled ON SMSOutgoing (NotBefore) WHERE Status = 0 AND NotBefore IS NOT NULL;
CREATE INDEX IF NOT EXISTS SMSOutgoing_Expiry ON SMSOutgoing (ValidUntil) WHERE Status = 0 AND ValidUntil IS NOT NULL;

CREATE TABLE IF NOT EXISTS SMSIncoming (
  Id INTEGER PRIMARY KEY,
  Type INTEGER,
  PhoneNumber TEXT,
  Data TEXT,
  Handset INTEGER,
  TmStamp TEXT,
  DestType INTEGER,
  DestId TEXT,
  DestName TEXT
);
CREATE INDEX IF NOT EXISTS SMSIncoming_Handset ON SMSIncoming (Handset, Id);

CREATE TABLE IF NOT EXISTS SMSNotifications (
  Id INTEGER PRIMARY KEY,
  OriginalId INTEGER,
  Type INTEGER,
  PhoneNumber TEXT,
  MsgType INTEGER,
  Data TEXT,
  Handset INTEGER,
  ErrorCode INTEGER,
  TmStamp TEXT,
  JobStatus INTEGER,
  SourceType INTEGER,
  SourceId TEXT,
  SourceName TEXT,
  ClientRef TEXT
);
CREATE INDEX IF NOT EXISTS SMSNotifications_Source ON SMSNotifications (SourceType, Handset, Id);

-- The engine's own tables.
-- SMSMessageRefs maps the text references some networks give to the number
-- kept in SMSOutgoing.MessageRef (the job's Id) until the delivery report.
CREATE TABLE IF NOT EXISTS SMSMessageRefs (
  MessageRef INTEGER PRIMARY KEY,
  Handset INTEGER,
  Reference TEXT
);
CREATE INDEX IF NOT EXISTS SMSMessageRefs_Reference ON SMSMessageRefs (Handset, Reference);

-- SMSOutgoingMarks records now and then the largest Id of SMSOutgoing, so
-- that the clean-up can tell the age of rows that carry no time.
CREATE TABLE IF NOT EXISTS SMSOutgoingMarks (
  MarkTime BIGINT PRIMARY KEY,
  MaxId INTEGER
);

-- MessageHistory: each job's life, kept after its row in SMSOutgoing is gone
-- (docs/engine.md): one row per event, written by the engine in the
-- transaction of what it records, deleted after the engine's HistoryAge. At is
-- milliseconds since the epoch (UTC).
CREATE TABLE IF NOT EXISTS MessageHistory (
  Id INTEGER PRIMARY KEY,
  JobId INTEGER NOT NULL,
  Event TEXT NOT NULL,
  Status INTEGER,
  Handset INTEGER,
  EngineId BIGINT,
  Reference TEXT,
  Parts INTEGER,
  ErrorCode INTEGER,
  Detail TEXT,
  At BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS MessageHistory_Job ON MessageHistory (JobId, Id);
CREATE INDEX IF NOT EXISTS MessageHistory_At ON MessageHistory (At);
-- A handset's messages sent in a day (its MaxPerDay), counted by every engine.
CREATE INDEX IF NOT EXISTS MessageHistory_Sent ON MessageHistory (Handset, At) WHERE Event = 'sent';
-- The 'queued' event, written by the client's insert itself.
CREATE TRIGGER IF NOT EXISTS SMSOutgoing_History AFTER INSERT ON SMSOutgoing BEGIN
  INSERT INTO MessageHistory (JobId, Event, Status, Handset, At)
    VALUES (NEW.Id, 'queued', NEW.Status, NEW.Handset, CAST(ROUND((julianday('now') - 2440587.5) * 86400000) AS INTEGER));
END;
