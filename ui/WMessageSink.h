// Connects the message routines to the information window and the installed backend.
#pragma once

// Installs the sink; the message routines then reach the information window, message boxes
// and the reset question.
void WInstallMessageSink();
