// The one translation unit that compiles Asio (separate compilation keeps every other unit lighter).
#include <boost/asio/impl/src.hpp>
