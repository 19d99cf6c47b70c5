// Shared by the motion module's files.
#pragma once

// A text of the library, "" for null.
const char* mwi_text(const char* text);
