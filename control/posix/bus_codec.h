#pragma once

// The control protocol in the system bus's types (control/posix/bus_names.h), for both of
// its sides: the service's (control/posix/bus_server.h) and its clients'.
#include <systemd/sd-bus.h>

#include "control/protocol.h"

namespace horalign {

// The method's signatures: what a request carries and what its answer does.
const char* ArgumentSignature(RequestKind kind);
const char* AnswerSignature(RequestKind kind);

// A request's values from a method call (its kind known), or from them onto one.
int ReadRequest(sd_bus_message* call, Request& request);
int AppendRequest(sd_bus_message* call, const Request& request);

// An answer's values onto a method return, or from one.
int AppendAnswer(sd_bus_message* reply, RequestKind kind, const Answer& answer);
int ReadAnswer(sd_bus_message* reply, RequestKind kind, Answer& answer);

int AppendRow(sd_bus_message* message, const ServiceRow& row);
int ReadRow(sd_bus_message* message, ServiceRow& row);
int AppendSettings(sd_bus_message* message, const ServiceSettingsRead& settings);
int ReadSettings(sd_bus_message* message, ServiceSettingsRead& settings);

// An error's name on the bus, and the error a name stands for.
const char* BusErrorName(ErrorKind kind);
ErrorKind ErrorKindOfBus(const sd_bus_error& error);

}  // namespace horalign
