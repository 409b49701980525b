// Names the calling thread for debuggers, ps and sanitizer reports.
#pragma once

// Names longer than 15 characters are cut.
void aThread_NameSelf(const char* name);
