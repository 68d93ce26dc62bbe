#include "logging/logger.h"

// Placeholder until the logger lands: keeps the rest of the program building.
namespace vmrsmgr {
Logger::Logger() = default;
Logger::~Logger() = default;
int Logger::start(std::string, std::string, std::uint64_t, std::uint64_t, int) { return -1; }
void Logger::log(std::string) {}
void Logger::error(std::string) {}
void Logger::debug(std::string) {}
void Logger::trace(std::string) {}
void Logger::stop() {}
void Logger::operator()() {}
}  // namespace vmrsmgr
