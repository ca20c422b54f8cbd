// Stream description in a pipe server's info object.
#include <fmt/core.h>

#include "brisk_pipe.h"
#include "tarn_common.h"

namespace {

// Replaces an existing member only; an item nothing took is freed here.
void replace_member(cJSON* info, const char* name, cJSON* item)
{
    if (!cJSON_ReplaceItemInObject(info, name, item)) cJSON_Delete(item);
}

}  // namespace

int UpdatePipeJson(int channel, int format, int width, int height, int framerate, bool replace)
{
    cJSON* info = pipe_server_get_info_json_ptr(channel);
    if (info == nullptr) {
        fmt::print("ERROR: got NULL pointer in {}\n", __func__);
        return -1;
    }
    const char* format_name = pipe_image_format_to_string(format);
    if (replace) {
        replace_member(info, "string_format", cJSON_CreateString(format_name));
        replace_member(info, "int_format", cJSON_CreateNumber(format));
        replace_member(info, "width", cJSON_CreateNumber(width));
        replace_member(info, "height", cJSON_CreateNumber(height));
        replace_member(info, "framerate", cJSON_CreateNumber(framerate));
    } else {
        cJSON_AddStringToObject(info, "string_format", format_name);
        cJSON_AddNumberToObject(info, "int_format", format);
        cJSON_AddNumberToObject(info, "width", width);
        cJSON_AddNumberToObject(info, "height", height);
        cJSON_AddNumberToObject(info, "framerate", framerate);
    }
    pipe_server_update_info(channel);
    return 0;
}
