// Database access, parameter evaluation and queries.
#include "api/api_common.h"

#include <cstdlib>

using namespace orn;

ORN_API void* mi_db_access(miTag tag) {
    Database* db = Database::current();
    Element* e = db ? db->get(tag) : nullptr;
    return e ? e->data() : nullptr;
}

ORN_API void mi_db_unpin(miTag) {}

ORN_API int mi_db_type(miTag tag) {
    Database* db = Database::current();
    Element* e = db ? db->get(tag) : nullptr;
    return e ? int(e->type) : int(miSCENE_NONE);
}

ORN_API char* mi_api_tag_lookup(miTag tag) {
    Database* db = Database::current();
    Element* e = db ? db->get(tag) : nullptr;
    return e && !e->name.empty() ? e->name.data() : nullptr;
}

// Like every scene-construction call, the lookup owns (and frees) the name it is given.
ORN_API miTag mi_api_name_lookup(char* name) {
    Database* db = Database::current();
    const miTag tag = db && name ? db->lookup(name) : miNULLTAG;
    std::free(name);
    return tag;
}

ORN_API void* mi_eval(miState* state, void* param) {
    // Most parameters of most shaders are plain values: answer those without finding the frame.
    const miFunction* shader = state ? state->shader : nullptr;
    if (!shader || shader->connections.empty()) return param;
    Frame* f = frame_of(state);
    return f ? f->eval(state, param) : param;
}

ORN_API miBoolean mi_query(int code, miState* state, miTag tag, void* result) {
    if (!result) return miFALSE;
    switch (code) {
    case miQ_FUNC_USERPTR: {
        miFunction* f = state ? state->shader : nullptr;
        if (tag) {
            Database* db = Database::current();
            auto* fe = db ? db->get_as<FunctionElement>(tag, miSCENE_FUNCTION) : nullptr;
            f = fe ? &fe->function : nullptr;
        }
        if (!f) return miFALSE;
        *static_cast<void***>(result) = &f->user_slot;
        return miTRUE;
    }
    case miQ_NUM_TEXTURES: {
        if (!state || !state->cache || !state->pri) return miFALSE;
        *static_cast<int*>(result) = ThreadContext::data(state).n_tex;
        return miTRUE;
    }
    case miQ_NUM_BUMPS: {
        if (!state || !state->cache || !state->pri) return miFALSE;
        *static_cast<int*>(result) = ThreadContext::data(state).n_bump;
        return miTRUE;
    }
    case miQ_INST_ITEM: {
        Database* db = Database::current();
        auto* ie = db ? db->get_as<InstanceElement>(tag, miSCENE_INSTANCE) : nullptr;
        if (!ie) return miFALSE;
        *static_cast<miTag*>(result) = ie->record.item;
        return miTRUE;
    }
    case miQ_INST_MATERIAL: {
        Database* db = Database::current();
        auto* ie = db ? db->get_as<InstanceElement>(tag, miSCENE_INSTANCE) : nullptr;
        if (!ie) return miFALSE;
        *static_cast<miTag*>(result) = ie->record.material;
        return miTRUE;
    }
    case miQ_MTL_SHADER:
    case miQ_MTL_SHADOW: {
        Database* db = Database::current();
        auto* me = db ? db->get_as<MaterialElement>(tag, miSCENE_MATERIAL) : nullptr;
        if (!me) return miFALSE;
        *static_cast<miTag*>(result) = code == miQ_MTL_SHADER ? me->surface : me->shadow;
        return miTRUE;
    }
    case miQ_PIXEL_SAMPLE_FAILED: {
        // Samples are never refined here, so every sample is full, unless the options ask
        // lenses for one ray: then only the first eye sample of each pixel is.
        *static_cast<miInteger*>(result) = 0;
        const ThreadContext* tc = state && state->cache ? ThreadContext::data(state).thread : nullptr;
        return !(state && state->options && state->options->lens_single_ray && tc && tc->pixel_sample != 0);
    }
    case miQ_HAIR_INTEGER: {
        // The hair's number within its object: the same for every sample of one hair.
        if (!state || !state->cache || !state->pri) return miFALSE;
        const WorldInstance* hit = ThreadContext::data(state).hit;
        if (!hit || hit != state->pri || !hit->object || !hit->object->hair) return miFALSE;
        *static_cast<miInteger*>(result) = state->pri_idx;
        return miTRUE;
    }
    case miQ_FINE_SAMPLE:
        *static_cast<miInteger*>(result) = 0;
        return miTRUE;
    case miQ_LIGHT_TYPE:
    case miQ_LIGHT_ORIGIN:
    case miQ_LIGHT_DIRECTION:
    case miQ_LIGHT_SPREAD: {
        Database* db = Database::current();
        if (!db) return miFALSE;
        // A light instance answers for its light.
        auto* ie = db->get_as<InstanceElement>(tag, miSCENE_INSTANCE);
        auto* le = db->get_as<LightElement>(ie ? ie->record.item : tag, miSCENE_LIGHT);
        if (!le) return miFALSE;
        if (code == miQ_LIGHT_TYPE)
            *static_cast<miInteger*>(result) = miInteger(le->light_type);
        else if (code == miQ_LIGHT_ORIGIN)
            *static_cast<miVector*>(result) = le->origin;
        else if (code == miQ_LIGHT_DIRECTION)
            *static_cast<miVector*>(result) = normalized(le->direction); // the unit axis
        else
            *static_cast<miScalar*>(result) = le->spread;
        return miTRUE;
    }
    default:
        return miFALSE;
    }
}

ORN_API miBoolean mi_shaderstate_set(miState* state, const char* key, void* value, int size, int) {
    if (!state || !state->cache || !key) return miFALSE;
    return ThreadContext::data(state).thread->store.set(key, value, size) ? miTRUE : miFALSE;
}

ORN_API void* mi_shaderstate_get(miState* state, const char* key, int* size) {
    if (!state || !state->cache || !key) return nullptr;
    return ThreadContext::data(state).thread->store.get(key, size);
}

ORN_API miBoolean mi_sample(double* sample, int* instance, miState* state, miUshort dimension, miUint* n) {
    Frame* f = frame_of(state);
    if (!f || !sample || !state->cache) return miFALSE;
    return f->sample(sample, instance, state, int(dimension), n) ? miTRUE : miFALSE;
}
