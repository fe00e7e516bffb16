#pragma once

int twice(int n);
