// Boost.JSON's implementation, compiled into the core once, so that neither a
// C++ program nor the Python extension needs libboost_json at run time.
#include <boost/json/src.hpp>
