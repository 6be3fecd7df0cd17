// AppleDouble companions
