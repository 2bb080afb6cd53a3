#include "DatalogPanel.h"

#include <nlohmann/json.hpp>

struct DatalogPanel::Impl {
  std::uint64_t passes = 0;
};

DatalogPanel::DatalogPanel(std::filesystem::path folder)
    : folder_(std::move(folder)), impl_(std::make_unique<Impl>()) {}

DatalogPanel::~DatalogPanel() = default;

bool DatalogPanel::update() { return false; }

std::string DatalogPanel::json() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nlohmann::json{{"file", nullptr}}.dump();
}

std::uint64_t DatalogPanel::passes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return impl_->passes;
}
