// Passes a colour through and, for eye and transparency rays, writes further colours into
// the user frame buffers 0 to 7.
#include "source/utility/orn_utility.h"

#include "common/conventions.h"

ORN_SHADER_VERSION(orn_buffer_writer, 3)
ORN_SHADER miBoolean orn_buffer_writer(miColor* result, miState* state, orn_buffer_writer_params* paras) {
    if (state->type == miRAY_SHADOW || state->type == miRAY_DISPLACE) return miFALSE;
    const miVector normal = state->normal;
    const miBoolean restore = mi_eval_boolean(&paras->restore_normal);
    if (state->type == miRAY_EYE || state->type == miRAY_TRANSPARENT) {
        for (int k = 0; k < 8; ++k) {
            if (mi_eval_boolean(&paras->slots[k].write))
                mi_fb_put(state, k, mi_eval_color(&paras->slots[k].value));
            // The shaders behind a value may bend the normal; the next value starts from the hit's own.
            if (restore) state->normal = normal;
        }
    }
    *result = *mi_eval_color(&paras->color);
    return miTRUE;
}
