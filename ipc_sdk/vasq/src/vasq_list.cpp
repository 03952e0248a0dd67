// The intrusive session lists, the session state and its first-reason record.
#include "vasq_internal.h"

#include "common/utils/ko_log.h"

void vasq_list_init(vasq_list_node *head)
{
    head->prev = head->next = head;
}

void vasq_list_add_tail(vasq_list_node *head, vasq_list_node *node)
{
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}

void vasq_list_del(vasq_list_node *node)
{
    if (!node->next)
        return;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->prev = node->next = nullptr;
}

int vasq_list_empty(const vasq_list_node *head)
{
    return head->next == head;
}

int vasq_state(const vasq_session *s)
{
    return __atomic_load_n(&s->state, __ATOMIC_ACQUIRE);
}

void vasq_set_state(vasq_session *s, int state)
{
    __atomic_store_n(&s->state, state, __ATOMIC_RELEASE);
}

void session_error_code(vasq_session *s, int code)
{
    pthread_mutex_lock(&s->error_lock);
    if (s->error_code == 0 && code != 0) {
        s->error_code = code;
        KO_LOGI("VASQ", "vasq error code(%d):%s\n", code, vasq_get_err_info(code));
    }
    pthread_mutex_unlock(&s->error_lock);
}
