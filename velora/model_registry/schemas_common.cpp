// Part of velora.model_registry.schemas: the shared forms of schemas_common.hpp.
#include "schemas_common.hpp"

#include <string>

namespace velora::schemas {

namespace {

bool pydantic_v2(py::handle module) { return truthy(module.attr("PYDANTIC_V2")); }

// pydantic 1 reads the configuration from an inner class `Config`.
py::object version1_config(py::handle module, const char* qualname, const RecordConfig& config) {
  const std::string inner = std::string(qualname) + ".Config";
  native::ClassBuilder builder(module, "Config", py::make_tuple(native::type_object(&PyBaseObject_Type)), py::dict(),
                               inner.c_str());
  if (config.populate_by_name) builder.attr("allow_population_by_field_name", py::bool_(true));
  if (config.use_enum_values) builder.attr("use_enum_values", py::bool_(true));
  // Under pydantic 1 a class attribute of an unknown callable type becomes a field.
  if (config.ignore_native_functions) builder.attr("keep_untouched", module.attr("NATIVE_FUNCTION_TYPES"));
  return builder.build();
}

py::object version2_config(py::handle module, const RecordConfig& config) {
  py::dict settings;
  if (config.populate_by_name) settings["populate_by_name"] = true;
  if (config.use_enum_values) settings["use_enum_values"] = true;
  if (config.ignore_native_functions) settings["ignored_types"] = module.attr("NATIVE_FUNCTION_TYPES");
  return module.attr("ConfigDict")(**settings);
}

}  // namespace

py::object typed(py::handle module, const char* form, std::initializer_list<py::handle> args) {
  const py::object origin = module.attr(form);
  if (args.size() == 1) return origin[*args.begin()];
  py::tuple arguments(args.size());
  std::size_t index = 0;
  for (const py::handle arg : args) arguments[index++] = arg;
  return origin[arguments];
}

void configure(native::ClassBuilder& builder, const char* qualname, const RecordConfig& config) {
  const py::handle module = builder.module();
  if (pydantic_v2(module)) {
    builder.attr("model_config", version2_config(module, config));
  } else {
    builder.attr("Config", version1_config(module, qualname, config));
  }
}

void record(py::module_& m, const char* name, const char* base, const char* doc, std::initializer_list<Field> fields) {
  native::ClassBuilder builder(m, name, py::make_tuple(m.attr(base)));
  builder.doc(doc);
  for (const Field& field : fields) {
    if (field.fallback) {
      builder.field(field.name, field.type, field.fallback);
    } else {
      builder.annotate(field.name, field.type);
    }
  }
  m.attr(name) = builder.build();
}

py::object required_field(py::handle module, const char* option, py::handle value) {
  return module.attr("Field")(py::ellipsis(), py::arg(option) = value);
}

py::object field_check(py::handle module, std::initializer_list<const char*> fields, const py::object& method) {
  py::tuple names(fields.size());
  std::size_t index = 0;
  for (const char* field : fields) names[index++] = py::str(field);
  if (pydantic_v2(module)) return module.attr("field_validator")(*names)(method);
  // pydantic 1 registers validators by module and qualified name; both kinds of
  // schema declare a `validate_schema`, hence allow_reuse.
  py::dict options;
  options["allow_reuse"] = true;
  return module.attr("validator")(*names, **options)(method);
}

}  // namespace velora::schemas
