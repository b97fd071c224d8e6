// The build line's facts. They are generated again whenever the libraries
// are rebuilt or the checkout moves to another revision, so a rebuilt
// library never names the configure run's revision or time.
#pragma once

namespace kelvex::runner {

// The source revision, ten hexadecimal digits in square brackets.
extern const char kRevisionTag[];
// Local date and time of the build, YYYY-MM-DD hh:mm:ss.
extern const char kBuildTime[];

} // namespace kelvex::runner
