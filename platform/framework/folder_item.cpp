// folder_item
