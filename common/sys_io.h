// Inside tarn-common only: name checks that report a refused name.
#ifndef TARN_SYS_IO_H
#define TARN_SYS_IO_H

#include <string>

// Each returns true for an acceptable name; otherwise prints one line
// "<func>: refusing <kind> \"<value>\"" on stderr and returns false.
bool accept_interface_name(const char* func, const std::string& name);
bool accept_service_name(const char* func, const std::string& name);
bool accept_bus_port_name(const char* func, const std::string& name);
bool accept_phy_name(const char* func, const std::string& name);

#endif
