#pragma once

// Builds the process logger "lnf-server": a coloured console sink, then server.log in the program
// folder opened for appending; every level written and flushed until Server::Start applies loglevel.
// A failure of the logging library is reported on standard error and aborts the process.
void InitializeLogging();

// Sets the level and the flush level of every logger and the global ones.
void ApplyLogLevel(int level);
