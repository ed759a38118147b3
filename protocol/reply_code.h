#pragma once

// The status code on a reply's first line, shared by the service and the
// client library. The numbers travel on the wire: never renumber one. A client
// may receive a code it does not know; the fixed underlying type holds it.

namespace tally_protocol {

enum ReplyCode : int {
  kReplyOk = 200,              // PING, LOGIN, ALIVE or EXIT done
  kReplyNotRegistered = 303,   // EXIT for a UniqueID that is not registered
  kReplyEmpty = 401,           // no line in the request
  kReplyTooFewWords = 402,     // fewer than three words on the first line
  kReplyNotNorla = 403,        // the first word is not NORLA
  kReplyNoUniqueId = 404,      // UniqueID missing or empty
  kReplyNoAppId = 405,         // AppID missing or empty
  kReplyNoProductId = 406,     // ProductID missing or empty
  kReplyUnknownCommand = 501,  // the second word is no command
  kReplyRegisterFull = 503,    // a new UniqueID while the register is full; nothing added
  kReplyUnknownProduct = 601,  // ProductID not accepted
  kReplyDateUnreadable = 602,  // Date not three numbers as year/month/day
  kReplyDateInvalid = 603,     // Date out of range or not a calendar date
  kReplyDateStale = 604,       // Date 3 or more days away from the server's UTC day
};

}  // namespace tally_protocol
