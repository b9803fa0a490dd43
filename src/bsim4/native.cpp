#include "bsim4/native.h"

namespace morva::bsim4::native {

std::optional<Bsim4Model> Bsim4Model::from_params(std::string_view device_type, const ParamList& params) {
    if (device_type.find('\0') != std::string_view::npos) return std::nullopt;
    Bsim4ModelHandle handle = bsim4_model_new();
    if (!handle) return std::nullopt;
    Bsim4Model model(handle);
    bsim4_model_set_type(handle, std::string(device_type).c_str());
    for (const auto& [name, value] : params) {
        if (name.find('\0') != std::string::npos) continue;
        bsim4_model_set_double_param(handle, name.c_str(), value);
    }
    return model;
}

Bsim4InstanceHandle Bsim4Model::instance_with_params(const ParamList& params, double w, double l) const {
    Bsim4InstanceHandle instance = bsim4_instance_alloc(handle(), 1, w, l);
    if (!instance) return nullptr;
    for (const auto& [name, value] : params) {
        if (name.find('\0') != std::string::npos) continue;
        bsim4_instance_set_inst_param(instance, name.c_str(), value);
    }
    if (bsim4_instance_setup(instance) != BSIM4_OK) {
        bsim4_instance_free(instance);
        return nullptr;
    }
    return instance;
}

}  // namespace morva::bsim4::native
