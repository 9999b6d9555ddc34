// The asset metadata record and its dictionary form.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/module.hpp"
#include "json/json.hpp"

namespace sorva::declare {

// One partition dimension; its kind is always "inline".
struct PartitionSpec {
    std::vector<json::Value> values;
};

// The two maps keep the user's dict order; nothing gives that order meaning.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<std::vector<std::pair<std::string, std::string>>> inputs;
    std::optional<std::vector<std::pair<std::string, PartitionSpec>>> partitions;
};

// A fresh dict: kind, name, serializer, inputs, partitions, in that order.
Ref metadata_dict(const AssetMetadata& metadata);

// "[v1,v2,...]" in the compact form.
std::string values_json(const std::vector<json::Value>& values);

}  // namespace sorva::declare
