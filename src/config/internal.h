// What the configuration folder's files share: the writer, which the local save and the save on
// trial (trial.cpp) both use around their own bookkeeping.
#pragma once

// Formats lirnSet and replaces the file with it safely; 0, or -1 when it could not.
int WriteLirnConfig();
