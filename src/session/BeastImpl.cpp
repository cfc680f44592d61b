// The one translation unit that compiles Beast and Asio's TLS layer.
#include <boost/beast/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
