// Scene editor: redefines each listed instance, under its own name and over its own item,
// with one material that overrides whatever its object's polygons name.
#include "source/utility/orn_shader_replacer.h"

#include "common/conventions.h"

namespace {

const char* const kBanner = "*************************************\n";

// Names of database elements may be missing; messages then show an empty name.
const char* name_of(miTag tag) {
    const char* name = tag ? mi_api_tag_lookup(tag) : nullptr;
    return name ? name : "";
}

} // namespace

ORN_SHADER_VERSION(orn_shader_replacer, 1)
ORN_SHADER miBoolean orn_shader_replacer(miBoolean* /*result*/, miState* state,
                                         orn_shader_replacer_params* paras) {
    const miBoolean enable = mi_eval_boolean(&paras->enable);
    const miBoolean verbose = mi_eval_boolean(&paras->verbose);
    const miTag material = mi_eval_tag(&paras->material);
    const miTag* instances = static_cast<miTag*>(mi_eval(state, paras->instances));
    const miInteger first = mi_eval_integer(&paras->i_instances);
    const miInteger count = mi_eval_integer(&paras->n_instances);
    if (!enable) return miTRUE;
    if (verbose) {
        mi_info("%s", kBanner);
        mi_info("    orn_shader_replacer\n");
        mi_info("%s", kBanner);
    }
    for (miInteger k = 0; k < count; ++k) {
        const miTag inst = instances[first + k];
        if (!inst) {
            mi_error(
                "orn_shader_replacer: no object with given TAG \"%i\" was found in scene DB. Or no object "
                "specified\n",
                0);
            return miFALSE;
        }
        mi_db_access(inst);
        if (mi_db_type(inst) != miSCENE_INSTANCE) {
            mi_error("orn_shader_replacer: \"%s\" is not miSCENE_INSTANCE\n", name_of(inst));
            mi_db_unpin(inst);
            return miFALSE;
        }
        const char* inst_name = name_of(inst);
        if (verbose) mi_info("orn_shader_replacer->instance:: %s\n", inst_name);
        miTag item = miNULLTAG;
        if (!mi_query(miQ_INST_ITEM, nullptr, inst, &item)) {
            mi_error("orn_shader_replacer: no INSTANCE_ITEM (shape) exist on instance \"%s\"", inst_name);
            mi_db_unpin(inst);
            return miFALSE;
        }
        const char* item_name = name_of(item);
        if (verbose) mi_info("orn_shader_replacer->instance->object:: %s\n", item_name);
        mi_db_unpin(inst);

        if (!material) {
            mi_error("orn_shader_replacer: no material with given TAG \"%i\" was found in scene DB. Or no "
                     "material "
                     "specified\n",
                     0);
            return miFALSE;
        }
        mi_db_access(material);
        if (mi_db_type(material) != miSCENE_MATERIAL) {
            mi_error("orn_shader_replacer: \"%s\" is not miSCENE_MATERIAL\n", name_of(material));
            mi_db_unpin(material);
            return miFALSE;
        }
        miTag surface = miNULLTAG, shadow = miNULLTAG;
        mi_query(miQ_MTL_SHADER, nullptr, material, &surface);
        mi_query(miQ_MTL_SHADOW, nullptr, material, &shadow);
        const char* surface_name = name_of(surface);
        const char* shadow_name = name_of(shadow);
        if (verbose) {
            mi_info("orn_shader_replacer->material:: %s\n", name_of(material));
            mi_info("orn_shader_replacer->material->shader:: %s\n", surface_name);
            mi_info("orn_shader_replacer->material->shadow:: %s\n", shadow_name);
        }
        mi_db_unpin(material);

        miTag old = miNULLTAG;
        mi_query(miQ_INST_MATERIAL, nullptr, inst, &old);
        if (verbose) {
            mi_info("orn_shader_replacer->oldinstance->material:: %s\n", name_of(old));
            mi_info("orn_shader_replacer: should replace the old material on %s\n", inst_name);
        }

        mi_api_incremental(miTRUE);
        // The renderer owns (and frees) the names handed to it.
        // A refused redefinition is reported by the renderer and leaves the instance as it was.
        if (miInstance* record = mi_api_instance_begin(mi_mem_strdup(inst_name))) {
            record->material = material;
            record->mtl_array_size = 0;
            record->material_override = 1;
            mi_api_instance_end(mi_mem_strdup(item_name), miNULLTAG, miTag(0xFFFFFFFFu));
        }
        if (verbose) mi_info("%s", kBanner);
    }
    if (verbose) {
        mi_info("orn_shader_replacer: Finished\n");
        mi_info("%s", kBanner);
    }
    return miTRUE;
}
