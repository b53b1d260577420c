#pragma once

// Placeholder: replaced when this component lands.
class ResourceManager
{
};
