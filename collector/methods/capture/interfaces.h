// `harvd --interfaces`: one "name|IPv4 address|description" line per capture
// device on standard output; a device list that cannot be read is fatal.
#pragma once

void interfaces_list();
