// Creation and destruction of our outside apps' objects.
#include "platform_app_object.h"

#include "zel_control/log/zel_log.h"

#include <cstdlib>

namespace platform_app {

app_object_t *App::create()
{
    std::lock_guard<std::mutex> g(lock_);
    if (obj_) {
        ZEL_LOGE(module_, "app %d already runs", id_);
        return nullptr;
    }
    auto *obj = static_cast<Object *>(calloc(1, sizeof(Object)));
    if (!obj) {
        ZEL_LOGE(module_, "out of memory for app %d", id_);
        return nullptr;
    }
    if (app_object_init(&obj->base, id_) != 0) {
        free(obj);
        return nullptr;
    }
    obj->owner = this;
    obj->base.on_destroy = on_destroy;
    link_ = AgentLink::start(module_, keys_, handler_);
    if (!link_) {
        free(obj);
        return nullptr;
    }
    obj_ = obj;
    ZEL_LOGI(module_, "app %d created", id_);
    return &obj->base;
}

int App::on_destroy(app_object_t *base, int, int, int, int)
{
    if (!base)
        return -1;
    Object *obj = reinterpret_cast<Object *>(base);
    App *self = obj->owner;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        if (self->obj_ != obj)
            return -1;
        self->link_->stop();
        self->link_.reset();
        self->obj_ = nullptr;
    }
    ZEL_LOGI(self->module_, "app %d destroyed", self->id_);
    free(obj);
    return 0;
}

int App::destroy()
{
    std::lock_guard<std::mutex> once(destroy_lock_);
    app_object_t *obj;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!obj_)
            return -1;
        obj = &obj_->base;
    }
    return obj->destroy(obj);
}

int App::fd()
{
    std::lock_guard<std::mutex> g(lock_);
    return link_ ? link_->fd() : -1;
}

} // namespace platform_app
