#pragma once

// While a NoDacOverride lives, the calling thread drops the capabilities that
// let root bypass file permissions (tests run as root in containers), so a
// 0555 folder or a 0000 file refuses root too. Nothing happens for other users.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

class NoDacOverride final
{
public:
    NoDacOverride()
    {
        if (::geteuid() != 0 || !call(SYS_capget, m_saved))
            return;
        __user_cap_data_struct data[2] = {m_saved[0], m_saved[1]};
        data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_active = call(SYS_capset, data);
    }
    ~NoDacOverride()
    {
        if (m_active)
            call(SYS_capset, m_saved);
    }

private:
    static bool call(long which, __user_cap_data_struct *data)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(which, &header, data) == 0;
    }
    __user_cap_data_struct m_saved[2] = {};
    bool m_active = false;
};
