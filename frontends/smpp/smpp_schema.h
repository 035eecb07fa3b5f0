// The tables of velquor-smppd, in the queue database beside the queue tables
// so that a submit and its record commit together:
//
// SmppJobs: what a receipt needs of a job the daemon queued, one row per job
//   Id                  the job's identifier in SMSOutgoing (primary key)
//   SystemId            the account that submitted it
//   SourceAddr          the submit_sm's source_addr
//   DestAddr            its destination_addr
//   RegisteredDelivery  its registered_delivery (bits 0-1: 0 no receipt,
//                       1 on success and failure, 2 on failure only)
//   SubmitTime          unix milliseconds of the submit
//   TextStart           the first 20 characters of the text, for the
//                       receipt's text: field
//   The row goes when the job's final notification has been handed over.
//
// SmppOutbox: deliver_sm to send to an account's receiver binds, kept until
// a deliver_sm_resp with status 0 arrives (at least once)
//   Id            ascending (the order of delivery per account)
//   SystemId      the account
//   Kind          1 a delivery receipt, 2 a received message
//   JobId         the job a receipt is about (0 for a received message)
//   SourceAddr, DestAddr, EsmClass, DataCoding  the deliver_sm's fields
//   ShortMessage  its short_message, hexadecimal
//   ReceiptedId   the receipted_message_id TLV ("" for a received message)
//   MessageState  the message_state TLV (0: none)
//   Attempts      deliver_sm sent so far without an ESME_ROK answer
//   NextAttempt   unix milliseconds before which it is not offered again
//   Created       unix milliseconds
#pragma once

#include <string>
#include <vector>

namespace VelquorSmpp {

// CREATE TABLE / INDEX statements, each IF NOT EXISTS, for the backend.
std::vector<std::string> SmppSchemaStatements(bool bPostgres);

}  // namespace VelquorSmpp
