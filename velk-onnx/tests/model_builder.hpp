// Small ONNX models written with the protobuf types, for the importer's tests.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace velk_onnx::testing {

class ModelBuilder {
 public:
  explicit ModelBuilder(std::int64_t opset = 17) {
    model_.set_ir_version(8);
    onnx::OperatorSetIdProto* entry = model_.add_opset_import();
    entry->set_domain("");
    entry->set_version(opset);
  }

  onnx::GraphProto& graph() { return *model_.mutable_graph(); }

  ModelBuilder& input(const std::string& name, std::vector<std::int64_t> dims,
                      std::int32_t type = onnx::TensorProto_DataType_FLOAT) {
    onnx::ValueInfoProto* value = graph().add_input();
    value->set_name(name);
    onnx::TypeProto_Tensor* tensor = value->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(type);
    for (const std::int64_t dim : dims) tensor->mutable_shape()->add_dim()->set_dim_value(dim);
    return *this;
  }

  ModelBuilder& output(const std::string& name) {
    graph().add_output()->set_name(name);
    return *this;
  }

  static onnx::TensorProto tensor(const std::string& name, std::vector<std::int64_t> dims, std::vector<float> values) {
    onnx::TensorProto tensor;
    tensor.set_name(name);
    tensor.set_data_type(onnx::TensorProto_DataType_FLOAT);
    for (const std::int64_t dim : dims) tensor.add_dims(dim);
    for (const float value : values) tensor.add_float_data(value);
    return tensor;
  }

  ModelBuilder& initializer(const std::string& name, std::vector<std::int64_t> dims, std::vector<float> values) {
    *graph().add_initializer() = tensor(name, std::move(dims), std::move(values));
    return *this;
  }

  ModelBuilder& integers(const std::string& name, std::vector<std::int64_t> values) {
    onnx::TensorProto* tensor = graph().add_initializer();
    tensor->set_name(name);
    tensor->set_data_type(onnx::TensorProto_DataType_INT64);
    tensor->add_dims(static_cast<std::int64_t>(values.size()));
    for (const std::int64_t value : values) tensor->add_int64_data(value);
    return *this;
  }

  // A Constant node holding one float of shape [].
  ModelBuilder& scalar(const std::string& name, float value) {
    onnx::NodeProto& constant = node("Constant", {}, {name});
    onnx::AttributeProto* attribute = constant.add_attribute();
    attribute->set_name("value");
    attribute->set_type(onnx::AttributeProto_AttributeType_TENSOR);
    *attribute->mutable_t() = tensor("", {}, {value});
    return *this;
  }

  onnx::NodeProto& node(const std::string& op_type, std::initializer_list<std::string> inputs,
                        std::initializer_list<std::string> outputs, const std::string& name = "") {
    onnx::NodeProto* node = graph().add_node();
    node->set_op_type(op_type);
    node->set_name(name);
    for (const std::string& input : inputs) node->add_input(input);
    for (const std::string& output : outputs) node->add_output(output);
    return *node;
  }

  static void attribute(onnx::NodeProto& node, const std::string& name, std::int64_t value) {
    onnx::AttributeProto* attribute = node.add_attribute();
    attribute->set_name(name);
    attribute->set_type(onnx::AttributeProto_AttributeType_INT);
    attribute->set_i(value);
  }

  static void attribute(onnx::NodeProto& node, const std::string& name, float value) {
    onnx::AttributeProto* attribute = node.add_attribute();
    attribute->set_name(name);
    attribute->set_type(onnx::AttributeProto_AttributeType_FLOAT);
    attribute->set_f(value);
  }

  static void attribute(onnx::NodeProto& node, const std::string& name, std::vector<std::int64_t> values) {
    onnx::AttributeProto* attribute = node.add_attribute();
    attribute->set_name(name);
    attribute->set_type(onnx::AttributeProto_AttributeType_INTS);
    for (const std::int64_t value : values) attribute->add_ints(value);
  }

  std::string bytes() const { return model_.SerializeAsString(); }

 private:
  onnx::ModelProto model_;
};

}  // namespace velk_onnx::testing
