#pragma once

// Tests of permission failures run as root in containers, where root reads and
// writes everything. While a NoDacOverride lives, the calling thread drops the
// capabilities that bypass file permissions, so a 0555 folder or a 0000 file
// refuses root as it refuses anyone else. Nothing happens for other users.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

class NoDacOverride final
{
public:
    NoDacOverride()
    {
        if (::geteuid() != 0 || !read(m_saved))
            return;
        __user_cap_data_struct data[2] = {m_saved[0], m_saved[1]};
        const unsigned dropped = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
        data[0].effective &= ~dropped;
        m_active = write(data);
    }
    ~NoDacOverride()
    {
        if (m_active)
            write(m_saved);
    }
    NoDacOverride(const NoDacOverride &) = delete;
    NoDacOverride &operator=(const NoDacOverride &) = delete;

private:
    static bool read(__user_cap_data_struct *data)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(SYS_capget, &header, data) == 0;
    }
    static bool write(__user_cap_data_struct *data)
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(SYS_capset, &header, data) == 0;
    }

    __user_cap_data_struct m_saved[2] = {};
    bool m_active = false;
};
