#pragma once

// The process-wide presence marker: a named lock that the first updater
// holds until it ends and that the system releases when it dies, so a
// second start can tell at once that one is running.
namespace orvanta {

// True when another process holds the marker. Otherwise this process takes
// it and keeps it for the rest of its life. A marker that cannot be made
// for another reason counts as free.
bool AnotherInstanceRuns(const char* name);

} // namespace orvanta
