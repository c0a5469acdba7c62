// SPDX-License-Identifier: GPL-2.0
/*
 * A test watchdog for the emulated machine: a timer in the kernel, like softdog, but as minimal as
 * a driver may be: it can only be started and stopped. It does not offer the magic close (so every
 * close of its device stops it) nor the keep-alive request (WDIOC_KEEPALIVE is
 * refused; a write still refreshes it). When it runs out it only says so in the kernel log:
 * "plaindog: fired".
 *
 * With magic_close=1 it offers both, as most drivers do; max_timeout= sets the longest timeout it
 * takes; stop_fails=N makes its first N stops fail with EIO, as an I2C or SMBus watchdog's may.
 */
#include <linux/hrtimer.h>
#include <linux/module.h>
#include <linux/watchdog.h>

static unsigned int timeout = 2;
module_param(timeout, uint, 0);
static bool magic_close;
module_param(magic_close, bool, 0);
static unsigned int max_timeout = 600;
module_param(max_timeout, uint, 0);
static unsigned int stop_fails;
module_param(stop_fails, uint, 0);

static struct hrtimer plaindog_timer;

static enum hrtimer_restart plaindog_fire(struct hrtimer *timer)
{
	pr_crit("plaindog: fired\n");
	return HRTIMER_NORESTART;
}

static int plaindog_start(struct watchdog_device *wdd)
{
	hrtimer_start(&plaindog_timer, ktime_set(wdd->timeout, 0), HRTIMER_MODE_REL);
	return 0;
}

static int plaindog_stop(struct watchdog_device *wdd)
{
	if (stop_fails > 0) {
		stop_fails--;
		pr_info("plaindog: stop failed\n");
		return -EIO;
	}
	hrtimer_cancel(&plaindog_timer);
	return 0;
}

static struct watchdog_info plaindog_info = {
	.identity = "plaindog",
	.options = WDIOF_SETTIMEOUT,
};

static const struct watchdog_ops plaindog_ops = {
	.owner = THIS_MODULE,
	.start = plaindog_start,
	.stop = plaindog_stop,
};

static struct watchdog_device plaindog_dev = {
	.info = &plaindog_info,
	.ops = &plaindog_ops,
	.min_timeout = 1,
};

static int __init plaindog_init(void)
{
	hrtimer_init(&plaindog_timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
	plaindog_timer.function = plaindog_fire;
	plaindog_dev.timeout = timeout;
	plaindog_dev.max_timeout = max_timeout;
	if (magic_close)
		plaindog_info.options |= WDIOF_MAGICCLOSE | WDIOF_KEEPALIVEPING;
	return watchdog_register_device(&plaindog_dev);
}

static void __exit plaindog_exit(void)
{
	watchdog_unregister_device(&plaindog_dev);
	hrtimer_cancel(&plaindog_timer);
}

module_init(plaindog_init);
module_exit(plaindog_exit);
MODULE_DESCRIPTION("Test watchdog without magic close or keep-alive request");
MODULE_LICENSE("GPL");
