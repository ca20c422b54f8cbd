// General shell helpers of the link's services: run a command for its
// output, ask systemd about a service, cut a version field out of a line.
#include <cstdio>

#include "sys_io.h"
#include "tarn_common.h"

std::string run_command(const std::string& command)
{
    std::string output;
    if (!tarn_popen_read(command, &output)) {
        fputs("popen() failed!\n", stderr);
        fflush(stderr);
        return "";
    }
    return output;
}

bool is_service_running(const std::string& service)
{
    if (!accept_service_name("is_service_running", service)) {
        return false;
    }
    std::string output;
    if (!tarn_popen_read("systemctl is-active " + service + " 2>&1", &output)) {
        fputs("ERROR: Failed to run systemctl is-active command.\n", stderr);
        fflush(stderr);
        return false;
    }
    size_t end = output.find_last_not_of(" \n\r\t");
    output.erase(end == std::string::npos ? 0 : end + 1);
    return output == "active";
}

std::string get_sdk_version(const std::string& line)
{
    size_t tab = line.find('\t');
    if (tab == std::string::npos) {
        return "N/A ";
    }
    return line.substr(tab + 1);
}
